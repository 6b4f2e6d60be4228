#pragma once
// The one top-level window of the host and the owner of the interpreter.

#include "widgetanimator.h"

#include <QMainWindow>
#include <QPointer>

#include <lua.hpp>

#include <functional>

class QTimer;
namespace Ui {
class MainWindow;
}

class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    ~MainWindow() override;

    static MainWindow *instance();
    // The window if it exists, without constructing one: null once a script
    // (or native code) has deleted it.
    static MainWindow *existing();
    // The script has had its onShutdown and the application is to end. A
    // loop nested in the start (a box while the splash waits for the window)
    // can take the quit meant for the main loop, which then must not run.
    static bool ended();
    // Starts the script application; called once by the entry function, and
    // again after each stopModule while the module is reloaded.
    void start(const QString &module);
    void startModule(const QString &module);

    // Live reload. A forgiving window reports a module that fails to load or
    // whose onStartup fails (startError, with file and line) and closes that
    // interpreter again, instead of ending the process.
    void setForgiving(bool on) { forgiving = on; }
    QString startError() const { return lastError; }
    // Runs with the new interpreter just before the application module is
    // required (the reloader learns from it which files the module loads).
    void setModuleHook(std::function<void(lua_State *)> hook) { moduleHook = std::move(hook); }
    // onShutdown, then the teardown of exit: the interpreter is closed and
    // every object the script made is deleted. The window stays where it is,
    // with a new empty central widget for the next start.
    void stopModule();

    lua_State *luaState() const { return L; }
    WidgetAnimator *widgetAnimator() { return &animator; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    bool event(QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private slots:
    void onTimer();

private:
    explicit MainWindow(QWidget *parent = nullptr);
    void newRootWidget();
    bool callForgiving(const char *message);
    // onShutdown (once: the tracker stops after it) and the end of the loop.
    void endSession();
    void closeModule();
    void deleteLostRoot();

    Ui::MainWindow *ui;
    QPointer<QWidget> rootMade;
    lua_State *L;
    QTimer *timer = nullptr;
    WidgetAnimator animator;
    bool forgiving = false;
    QString lastError;
    std::function<void(lua_State *)> moduleHook;
};

// The MainWindow script class's methods (registered by startModule).
extern const luaL_Reg lmainwindow_methods[];
