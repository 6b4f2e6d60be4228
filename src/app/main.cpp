// The host's start-up sequence, step by step; every piece lives in the core.
// The developer tools (devtools/) are wired in here and nowhere in the shell.
#include "commandline.h"
#include "devtools/devtools.h"
#include "diagnostics.h"
#include "mainwindow.h"
#include "resources.h"
#include "singleinstance.h"

#include <QDebug>
#include <QFile>
#include <QFontDatabase>
#include <QPointer>
#include <QSettings>
#include <QSplashScreen>
#include <QTextStream>

using namespace orvane;

int main(int argc, char **argv)
{
    qInstallMessageHandler(messageHandler);

    const QString module = moduleNameFromArguments(argc, argv);
    if (module.isEmpty()) {
        qDebug() << "Missing argument: module";
        return 0;
    }

    SingleApplication app(QLatin1String("com.orvane.") + module, argc, argv);
    initResources();
    if (app.sendMessage(QStringLiteral("OrvaneSingleInstance"), 5000)) {
        qDebug() << "Instance already running!";
        if (!QCoreApplication::arguments().contains(QLatin1String("-q")))
            showMessageBox(QMessageBox::Warning, nullptr, QLatin1String("Orvane ") + module,
                           QStringLiteral("Launch abandoned!\n\nAnother copy of the program is already running."));
        return 0;
    }

    bool outputChosen = false;
    for (const QString &arg : QCoreApplication::arguments()) {
        if (arg == QLatin1String("-d") && !outputChosen) {
            outputChosen = true;
            redirectOutput(OutputConsole, module);
        }
        if (arg == QLatin1String("-dd") && !outputChosen) {
            outputChosen = true;
            redirectOutput(OutputNewConsole, module);
        }
        if (arg == QLatin1String("-df") && !outputChosen) {
            outputChosen = true;
            redirectOutput(OutputLogFile, module);
        }
        if (arg == QLatin1String("-s"))
            wantSettings = true;
    }

    QPixmap splashPixmap(findResource(QStringLiteral("images/splash.png")));
    QSplashScreen splash(splashPixmap);
    splash.show();

    QFile styleSheet(findResource(QStringLiteral("stylesheet.css")));
    if (styleSheet.open(QFile::ReadOnly | QFile::Text)) {
        QTextStream in(&styleSheet);
        app.setStyleSheet(in.readAll());
        styleSheet.close();
    }

    const QStringList fonts{QStringLiteral("digital-7.ttf"), QStringLiteral("digital-7 (italic).ttf"),
                            QStringLiteral("digital-7 (mono).ttf"), QStringLiteral("digital-7 (mono italic).ttf")};
    for (const QString &font : fonts) {
        const int id = QFontDatabase::addApplicationFont(findResource(QLatin1String("fonts/") + font));
        if (id != -1) {
            for (const QString &family : QFontDatabase::applicationFontFamilies(id))
                qDebug() << family;
        }
    }

    QCoreApplication::setOrganizationDomain(QStringLiteral("orvane.io"));
    QCoreApplication::setOrganizationName(QStringLiteral("Orvane"));
    QSettings::setDefaultFormat(QSettings::IniFormat);

    // Guarded: a script may destroy the main window while the loop runs.
    QPointer<MainWindow> window = MainWindow::instance();
    if (!startReloading(window, module))
        window->start(module);
    startTestTools(window);
    splash.finish(window);
    app.setActivationWindow(window, true);

    const int status = MainWindow::ended() ? 0 : app.exec();
    delete window.data();
    return status;
}
