#pragma once
// The one top-level window of the host and the owner of the interpreter.

#include "widgetanimator.h"

#include <QMainWindow>

#include <lua.hpp>

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
    // Starts the script application; called once by the entry function.
    void start(const QString &module);
    void startModule(const QString &module);

    lua_State *luaState() const { return L; }
    WidgetAnimator *widgetAnimator() { return &animator; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private slots:
    void onTimer();

private:
    explicit MainWindow(QWidget *parent = nullptr);

    Ui::MainWindow *ui;
    lua_State *L;
    QTimer *timer = nullptr;
    WidgetAnimator animator;
};

// The MainWindow script class's methods (registered by startModule).
extern const luaL_Reg lmainwindow_methods[];
