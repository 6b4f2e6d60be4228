#include "mainwindow.h"
#include <QStatusBar>

static MainWindow *theWindow = nullptr;

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent)
{
    theWindow = this;
    setObjectName(QStringLiteral("MainWindow"));
    resize(837, 442);
    setWindowTitle(QStringLiteral("Orvane"));
}

MainWindow *MainWindow::instance()
{
    if (!theWindow)
        new MainWindow;
    return theWindow;
}

void MainWindow::start(const QString &module)
{
    statusBar()->showMessage(module);
    show();
}
