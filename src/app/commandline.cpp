#include "commandline.h"

#include <QDebug>
#include <QFileInfo>

namespace orvane {

bool wantSettings = false;

QString moduleNameFromArguments(int argc, char **argv)
{
    QString module;
    for (int i = 1; i < argc; ++i) {
        const QString arg = QString::fromUtf8(argv[i]);
        if (!arg.startsWith(QLatin1Char('-'))) {
            module = arg;
            qDebug() << "Found" << module;
            break;
        }
    }
    if (module.isEmpty() && argc > 0) {
        const QString base = QFileInfo(QString::fromUtf8(argv[0])).baseName();
        if (base.startsWith(QLatin1String("orv")))
            module = base.mid(3);
    }
    return module;
}

} // namespace orvane
