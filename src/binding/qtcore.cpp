// The qt.core module: its two functions and every Qt-side script class, in
// the fixed order of registration.
#include "classtables.h"
#include "luax.h"

#include <QFileDialog>
#include <QWidget>

#include <cstdio>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

namespace {

struct ClassEntry
{
    const char *name;
    const char *base;
    const luaL_Reg *methods;
    int fields; // per-object script fields through luaX_index / luaX_newindex
};

const ClassEntry kCoreClasses[] = {
    {"QObject", nullptr, lqobject_methods, 0},
    {"QWidget", "QObject", lqwidget_methods, 0},
    {"Widget", "QWidget", lwidget_methods, 0},
    {"QDialog", "QWidget", ldialog_methods, 0},
    {"PushButton", "QWidget", lpushbutton_methods, 0},
    {"QLineEdit", "QWidget", llineedit_methods, 0},
    {"QPlainTextEdit", "QWidget", ltextedit_methods, 0},
    {"QPainter", nullptr, lpainter_methods, 0},
    {"QFont", nullptr, lfont_methods, 0},
    {"Image", nullptr, limage_methods, 0},
    {"Tracker", nullptr, ltracker_methods, 0},
    {"Desktop", nullptr, ldesktop_methods, 0},
    {"ElapsedTimer", nullptr, lelapsedtimer_methods, 0},
    {"Timer", "QObject", ltimer_methods, 1},
    {"TcpServer", "QObject", lserver_methods, 1},
    {"TcpSocket", "QObject", lsocket_methods, 1},
    {"FDView", "QWidget", lfdview_methods, 0},
};

int lcore_chooseFile(lua_State *L)
{
    auto *parent = luaX_checkqobject<QWidget>(L, 1, "QWidget");
    const QString caption = QString::fromUtf8(luaL_optstring(L, 2, "Choose a file"));
    const QString dir = QString::fromUtf8(luaL_optstring(L, 3, ""));
    const QString filter = QString::fromUtf8(luaL_optstring(L, 4, ""));
    const QString file = QFileDialog::getOpenFileName(parent, caption, dir, filter);
    if (file.isNull())
        lua_pushnil(L);
    else
        lua_pushstring(L, file.toLocal8Bit().constData());
    return 1;
}

int lcore_debugString(lua_State *L)
{
    const char *text = luaL_checkstring(L, 1);
#ifdef Q_OS_WIN
    OutputDebugStringA(text);
#else
    // No debugger channel here: standard error stays apart from the log.
    fputs(text, stderr);
    fflush(stderr);
#endif
    return 0;
}

const luaL_Reg kCoreFunctions[] = {
    {"chooseFile", lcore_chooseFile},
    {"debugString", lcore_debugString},
    {nullptr, nullptr},
};

} // namespace

int luaopen_qt_core(lua_State *L)
{
    luaL_newlib(L, kCoreFunctions); /* module */
    for (const ClassEntry &c : kCoreClasses)
        luaX_createclass(L, c.name, c.methods, c.base, c.fields, 1);
    return 1;
}
