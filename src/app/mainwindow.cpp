#include "mainwindow.h"
#include "commandline.h"
#include "luax.h"
#include "modulelocator.h"
#include "tracker.h"

#include <QApplication>
#include <QCloseEvent>
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
static bool sessionEnded = false;

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
    newRootWidget();
    setStatusBar(new QStatusBar);
}

// The plain widget the script receives as rootWidget.
void MainWindow::newRootWidget()
{
    auto *root = new QWidget(this);
    rootMade = root;
    setCentralWidget(root);
    root->installEventFilter(this);
}

MainWindow::~MainWindow()
{
    // A script can delete the window (mainWindow:destroy()) while another
    // interpreter or native code still reaches it through instance().
    if (theMainWindow == this)
        theMainWindow = nullptr;
    // Deleted by a script while the loop runs: the application ends as if
    // the window had been closed, since no window is left to close.
    endSession();
    // Finalizers run while every Qt object still exists; the tracker's own
    // finalizer then cuts every late signal off from the closed state.
    if (L)
        lua_close(L);
    L = nullptr;
    // Servers, sockets, ports and discovery objects the script made belong
    // to no one once their handles are gone.
    ObjectTracker::deleteOrphans();
    deleteLostRoot();
    delete ui;
}

// rootWidget is the host's, not adopted like the script's widgets: a script
// that took it out of the window (setParent with no parent) leaves it to us.
void MainWindow::deleteLostRoot()
{
    if (rootMade && !rootMade->parent())
        delete rootMade.data();
}

MainWindow *MainWindow::instance()
{
    if (!theMainWindow)
        new MainWindow;
    return theMainWindow;
}

bool MainWindow::ended()
{
    return sessionEnded;
}

MainWindow *MainWindow::existing()
{
    return theMainWindow;
}

bool MainWindow::eventFilter(QObject *, QEvent *)
{
    return false;
}

bool MainWindow::event(QEvent *event)
{
    // A modal loop run from a handler (msgBox, exec) also runs the deletes
    // that handlers inside it ask for. This window's deletion closes the
    // interpreter, which must not happen under the handler still running in
    // it: the delete waits until no script runs.
    if (event->type() == QEvent::DeferredDelete && L) {
        lua_Debug ar;
        if (lua_getstack(L, 0, &ar)) {
            QTimer::singleShot(10, this, [this] { deleteLater(); });
            return true;
        }
    }
    return QMainWindow::event(event);
}

void MainWindow::start(const QString &module)
{
    lastError.clear();
    startModule(module);
    if (!timer) {
        timer = new QTimer(this);
        connect(timer, &QTimer::timeout, this, &MainWindow::onTimer);
        timer->setTimerType(Qt::PreciseTimer);
        timer->setInterval(100);
        timer->setSingleShot(true);
    }
    timer->start();
    if (!forgiving)
        ObjectTracker::instance(L)->dispatch(nullptr, "onStartup", nullptr);
    else if (L && !callForgiving("onStartup"))
        closeModule();
    show();
}

// A message without an object and without a format, as the tracker sends
// it, except that an error is printed and remembered instead of ending the
// process.
bool MainWindow::callForgiving(const char *message)
{
    const int top = lua_gettop(L);
    // Looked up and turned into text under protection: the window must
    // survive a strict _G without MsgHandler and an error whose __tostring
    // raises, since it stays up to show the error.
    lua_pushcfunction(L, luaX_callmsghandler);
    lua_pushnil(L);
    lua_pushstring(L, message);
    const bool ok = luaX_pcall(L, 2, 0, "") == LUA_OK;
    if (!ok) {
        luaX_pusherrortext(L, -1);
        lastError = QString::fromLocal8Bit(lua_tostring(L, -1));
        lua_pop(L, 1);
        luaX_reporterror(L, "Call failed");
    }
    lua_settop(L, top);
    return ok;
}

void MainWindow::stopModule()
{
    if (!L)
        return;
    callForgiving("onShutdown");
    ObjectTracker::instance(L)->shutDown();
    closeModule();
}

void MainWindow::closeModule()
{
    if (!L)
        return;
    // What the script made, found while the objects still carry the state in
    // their "lua" property: the central widget it worked in (rootWidget, or
    // the one it set), the widgets it gave the window, and its own windows.
    void *state = L;
    const auto madeHere = [state](QObject *o) { return o->property("lua").value<void *>() == state; };
    QList<QPointer<QObject>> made{centralWidget()};
    if (rootMade && !rootMade->parent())
        made.append(rootMade.data());
    for (QObject *child : children())
        if (madeHere(child))
            made.append(child);
    for (QWidget *top : QApplication::topLevelWidgets())
        if (top != this && madeHere(top))
            made.append(top);
    // The order of exit: finalizers first, while every Qt object exists.
    lua_close(L);
    L = nullptr;
    ObjectTracker::deleteOrphans();
    for (const QPointer<QObject> &object : qAsConst(made))
        delete object.data();
    // The window itself is kept, with what a first start finds.
    newRootWidget();
    statusBar()->clearMessage();
    setWindowTitle(QCoreApplication::translate("MainWindow", "Orvane"));
    setStyleSheet(QString());
    setFont(QFont());
    setEnabled(true);
    clearMask();
    setAcceptDrops(false);
}

void MainWindow::onTimer()
{
    if (L)
        lua_settop(L, 0);
    timer->start();
}

void MainWindow::closeEvent(QCloseEvent *)
{
    endSession();
}

void MainWindow::endSession()
{
    sessionEnded = true;
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

    if (moduleHook)
        moduleHook(L);
    qDebug() << "Start module" << module;
    const QByteArray chunk = orvane::startChunk(module);
    if (!forgiving) {
        luaX_dostring(L, chunk.constData(), nullptr);
    } else {
        const int top = lua_gettop(L);
        if (luaX_dostring(L, chunk.constData(), "") != LUA_OK) {
            lastError = QStringLiteral("the start chunk does not compile");
            if (lua_gettop(L) > top) {
                lastError = QString::fromLocal8Bit(luaL_tolstring(L, -1, nullptr));
                lua_pop(L, 1);
                luaX_reporterror(L, "Call failed");
            }
            fflush(stdout);
            closeModule();
            return;
        }
    }

    fflush(stdout);
    fflush(stderr);
    lua_settop(L, 0);
}
