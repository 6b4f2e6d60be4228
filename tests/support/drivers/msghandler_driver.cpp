// Sends one message per argument through the host's message handler, in
// order: debug, warning, critical, fatal, info, or qtwarning (a warning that
// Qt itself raises). Critical and fatal end the process inside the handler,
// so nothing after them is sent.
#include "diagnostics.h"

#include <QApplication>
#include <QObject>

int main(int argc, char **argv)
{
    qInstallMessageHandler(orvane::messageHandler);
    QApplication app(argc, argv);
    for (int i = 1; i < argc; ++i) {
        const QByteArray level(argv[i]);
        if (level == "debug")
            qDebug("debug text %d", i);
        else if (level == "warning")
            qWarning("warning text %d", i);
        else if (level == "critical")
            qCritical("critical text %d\nsecond line", i);
        else if (level == "fatal")
            qFatal("fatal text %d", i);
        else if (level == "info")
            qInfo("info text %d", i);
        else if (level == "qtwarning")
            QObject::connect(&app, SIGNAL(noSuchSignal()), &app, SLOT(quit()));
        else
            return 2;
    }
    return 0;
}
