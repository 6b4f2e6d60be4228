#include "widgettree.h"

#include <QWidget>

namespace orvane {

bool wouldCreateCycle(const QWidget *child, const QWidget *newParent)
{
    if (!child)
        return false;
    for (const QWidget *w = newParent; w; w = w->parentWidget()) {
        if (w == child)
            return true;
    }
    return false;
}

} // namespace orvane
