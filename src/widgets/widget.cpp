#include "widget.h"
#include "tracker.h"

Widget::Widget(QWidget *parent, Qt::WindowFlags flags) : QWidget(parent, flags) {}

void Widget::paintEvent(QPaintEvent *)
{
    // No tracker once the interpreter is closed: the widget simply stays blank.
    if (ObjectTracker *tracker = ObjectTracker::forObject(this))
        tracker->paint(this);
}
