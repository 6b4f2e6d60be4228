// The MainWindow script class: four methods that act on the one main window
// (the receiver is not looked at).
#include "luax.h"
#include "mainwindow.h"
#include "numbers.h"

#include <QStatusBar>

namespace {

QRect checkRect(lua_State *L, int first)
{
    return QRect(numbers::checkInt32(L, first), numbers::checkInt32(L, first + 1), numbers::checkInt32(L, first + 2),
                 numbers::checkInt32(L, first + 3));
}

// The one main window; once deleted, the methods raise instead of building
// a new window behind the script's back.
MainWindow *checkWindow(lua_State *L)
{
    MainWindow *window = MainWindow::existing();
    if (!window)
        luaL_error(L, "attempting to access deleted %s", "MainWindow");
    return window;
}

int lmainwindow_animate(lua_State *L)
{
    auto *w = luaX_checkqobject<QWidget>(L, 2, "QWidget");
    const QRect start = checkRect(L, 3);
    const QRect end = checkRect(L, 7);
    const bool animated = lua_isnone(L, 11) ? true : lua_toboolean(L, 11);
    checkWindow(L)->widgetAnimator()->animate(w, start, end, animated);
    return 0;
}

int lmainwindow_isAnimating(lua_State *L)
{
    auto *w = luaX_checkqobject<QWidget>(L, 2, "QWidget");
    lua_pushboolean(L, checkWindow(L)->widgetAnimator()->contains(w));
    return 1;
}

int lmainwindow_setText(lua_State *L)
{
    const QString text = QString::fromUtf8(luaL_checkstring(L, 2));
    checkWindow(L)->statusBar()->showMessage(text, 0);
    return 0;
}

int lmainwindow_setCentralWidget(lua_State *L)
{
    auto *w = luaX_checkqobject<QWidget>(L, 2, "QWidget");
    MainWindow *window = checkWindow(L);
    // Qt's object tree would loop: refuse rather than corrupt it.
    if (w == window || w->isAncestorOf(window))
        return luaL_argerror(L, 2, "would make a widget its own ancestor");
    window->setCentralWidget(w);
    return 0;
}

} // namespace

const luaL_Reg lmainwindow_methods[] = {
    {"animate", lmainwindow_animate},
    {"isAnimating", lmainwindow_isAnimating},
    {"setText", lmainwindow_setText},
    {"setCentralWidget", lmainwindow_setCentralWidget},
    {nullptr, nullptr},
};
