// Looks up one resource the way the host does, so the path where nothing is
// found (which the host's compiled-in files never reach) can be watched from
// outside: findresource_driver NAME prints the found path, or shows the
// "Cannot find" box and ends with status 1.
#include "diagnostics.h"
#include "resources.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char **argv)
{
    qInstallMessageHandler(orvane::messageHandler);
    QApplication app(argc, argv);
    orvane::initResources();
    if (argc < 2)
        return 2;
    const QString path = orvane::findResource(QString::fromUtf8(argv[1]));
    printf("Result: %s\n", path.toLocal8Bit().constData());
    return 0;
}
