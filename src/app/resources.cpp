#include "resources.h"
#include "diagnostics.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFileInfo>
#include <QStringList>

#include <cstdio>
#ifdef Q_OS_WIN
#include <stdlib.h> // _exit in the Windows runtime
#else
#include <unistd.h>
#endif

static void initOrvaneResources() { Q_INIT_RESOURCE(orvane_resources); }

namespace orvane {

void initResources()
{
    initOrvaneResources();
}

QString findResource(const QString &name)
{
    qDebug() << "findResource" << name;
    const QString appDir = QCoreApplication::applicationDirPath();
    const QStringList dirs{appDir, appDir + QLatin1String("/.."), appDir + QLatin1String("/../.."),
                           QStringLiteral(":")};
    for (const QString &dir : dirs) {
        qDebug() << "try" << dir;
        const QFileInfo candidate(dir + QLatin1Char('/') + name);
        if (candidate.isFile()) {
            const QString path = candidate.absoluteFilePath();
            qDebug() << "found" << path;
            return path;
        }
    }
    showMessageBox(QMessageBox::Critical, nullptr, QCoreApplication::applicationName(),
                   QLatin1String("Cannot find ") + name + QLatin1String("\n\nPlease try reinstalling\n\nApplication path: ")
                       + appDir);
    fflush(stdout);
    // No clean-up on purpose: nothing of the host is usable without the file.
    _exit(1);
}

} // namespace orvane
