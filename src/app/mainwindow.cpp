#include "mainwindow.h"
#include "commandline.h"
#include "luax.h"
#include "modulelocator.h"
#include "testdriver.h"
#include "tracker.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDebug>
#include <QFileInfo>
#include <QStatusBar>
#include <QThread>
#include <QTimer>

#include <cstdio>

// What the designer form leaves behind: it only remembers its widget.
namespace Ui {
class MainWindow
{
public:
    QWidget *centralWidget = nullptr;

    void setupUi(QMainWindow *window)
    {
        if (window->objectName().isEmpty())
            window->setObjectName(QStringLiteral("MainWindow"));
        window->resize(837, 442);
        centralWidget = new QWidget(window);
        centralWidget->setObjectName(QStringLiteral("centralWidget"));
        window->setCentralWidget(centralWidget);
        window->setWindowTitle(QCoreApplication::translate("MainWindow", "Orvane"));
        QMetaObject::connectSlotsByName(window);
    }
};
} // namespace Ui

static MainWindow *theMainWindow = nullptr;

// A quit before the event loop runs (onStartup closing the window, a timer
// firing while the splash waits for the window) would be lost, and the
// process would wait forever without a window. Keep asking until a loop runs:
// the splash's own event processing must not swallow the request.
static void quitWhenLoopRuns()
{
    if (QThread::currentThread()->loopLevel() > 0) {
        QCoreApplication::quit();
        return;
    }
    QTimer::singleShot(0, QCoreApplication::instance(), quitWhenLoopRuns);
}

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent), ui(new Ui::MainWindow), L(nullptr)
{
    theMainWindow = this;
    ui->setupUi(this);
    auto *root = new QWidget(this);
    setCentralWidget(root);
    root->installEventFilter(this);
    setStatusBar(new QStatusBar);
}

MainWindow::~MainWindow()
{
    // A script can delete the window (mainWindow:destroy()) while another
    // interpreter or native code still reaches it through instance().
    if (theMainWindow == this)
        theMainWindow = nullptr;
    // Finalizers run while every Qt object still exists; the tracker's own
    // finalizer then cuts every late signal off from the closed state.
    if (L)
        lua_close(L);
    L = nullptr;
    // Servers, sockets, ports and discovery objects the script made belong
    // to no one once their handles are gone.
    ObjectTracker::deleteOrphans();
    delete ui;
}

MainWindow *MainWindow::instance()
{
    if (!theMainWindow)
        new MainWindow;
    return theMainWindow;
}

MainWindow *MainWindow::existing()
{
    return theMainWindow;
}

bool MainWindow::eventFilter(QObject *, QEvent *)
{
    return false;
}

void MainWindow::start(const QString &module)
{
    startModule(module);
    timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, &MainWindow::onTimer);
    timer->setTimerType(Qt::PreciseTimer);
    timer->setInterval(100);
    timer->setSingleShot(true);
    timer->start();
    ObjectTracker::instance(L)->dispatch(nullptr, "onStartup", nullptr);
    show();
    orvane::startTestTools(L, this);
}

void MainWindow::onTimer()
{
    if (L)
        lua_settop(L, 0);
    timer->start();
}

void MainWindow::closeEvent(QCloseEvent *)
{
    if (L) {
        ObjectTracker *tracker = ObjectTracker::instance(L);
        tracker->dispatch(nullptr, "onShutdown", nullptr);
        // The loop's last pass may still deliver ticks, arrivals and paints
        // that were already pending: the script has said goodbye to them.
        tracker->shutDown();
    }
    quitWhenLoopRuns();
}

void MainWindow::startModule(const QString &module)
{
    L = luaX_newstate();
    orvane::defineLoadstring(L);

    const QString appDir = QCoreApplication::applicationDirPath();
    orvane::locateModules(L, appDir.toLocal8Bit(), "bundle.bin", (appDir + QLatin1String("/../..")).toLocal8Bit(),
                          orvane::kLuaSearchList, orvane::kNativeSearchList);
    orvane::preloadModules(L, orvane::builtinModules());

    luaL_requiref(L, "qt.core", luaopen_qt_core, 0); /* qt.core */
    luaX_createclass(L, metaObject()->className(), lmainwindow_methods, "QWidget", 0, 1);

    luaX_pushobject(L, static_cast<QObject *>(this), "MainWindow");
    lua_setglobal(L, "mainWindow");
    if (auto *root = qobject_cast<QWidget *>(centralWidget())) {
        luaX_pushobject(L, static_cast<QObject *>(root), "QWidget");
        lua_setglobal(L, "rootWidget");
    }

    const QFileInfo exe(QCoreApplication::applicationFilePath());
    lua_pushboolean(L, orvane::wantSettings);
    lua_setglobal(L, "wantSettings");
    lua_pushstring(L, exe.fileName().toLocal8Bit().constData());
    lua_setglobal(L, "applicationFileName");
    lua_pushstring(L, QCoreApplication::applicationFilePath().toLocal8Bit().constData());
    lua_setglobal(L, "_APP_PATH");
    lua_pushstring(L, exe.fileName().toLocal8Bit().constData());
    lua_setglobal(L, "_APP_FILENAME");

    qDebug() << "Start module" << module;
    const QByteArray chunk = orvane::startChunk(module);
    luaX_dostring(L, chunk.constData(), nullptr);

    fflush(stdout);
    fflush(stderr);
    lua_settop(L, 0);
}
