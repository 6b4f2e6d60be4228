// Runs Lua text with qt.core (global `qt`) and bonjour.core (global
// `bonjour`) and then the event loop, so that tests can watch what service
// discovery does to the whole process: a failing onTimer ends it with
// status 1, and without a discovery daemon nothing may hang.
//
//   bonjour_driver CODE [MS]
//
// The loop is left after MS milliseconds (default 5000) with status 3; a
// script can end it earlier with the global quit().
#include "comms/bonjour.h"
#include "luax.h"

#include <QApplication>
#include <QPointer>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

static int lquit(lua_State *)
{
    QCoreApplication::exit(0);
    return 0;
}

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    if (argc < 2) {
        fprintf(stderr, "usage: bonjour_driver CODE [MS]\n");
        return 2;
    }
    const int limit = argc > 2 ? atoi(argv[2]) : 5000;

    lua_State *L = luaX_newstate();
    luaL_requiref(L, "qt.core", luaopen_qt_core, 0);
    lua_setglobal(L, "qt");
    luaL_requiref(L, "bonjour.core", luaopen_bonjour_core, 0);
    lua_setglobal(L, "bonjour");
    lua_register(L, "quit", lquit);
    lua_settop(L, 0);
    // Bonjour handles are references: the objects outlive the interpreter
    // unless someone deletes them, so the driver keeps a list for the end.
    luaX_dostring(L,
                  "local made, create = {}, bonjour.Bonjour.create\n"
                  "bonjourMade = made\n"
                  "bonjour.Bonjour.create = function(...)\n"
                  "  local b = create(...); made[#made + 1] = b; return b\n"
                  "end",
                  nullptr);

    if (luaX_dostring(L, argv[1], "") != LUA_OK)
        return 2;
    QTimer::singleShot(limit, [] { QCoreApplication::exit(3); });
    const int status = app.exec();
    printf("loop ended %d\n", status);
    fflush(stdout);
    // What the script destroyed on its way out (destroy() defers deletion).
    for (int i = 0; i < 3; ++i)
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

    QList<QPointer<QObject>> made;
    lua_getglobal(L, "bonjourMade");
    const lua_Integer n = luaL_len(L, -1);
    for (lua_Integer i = 1; i <= n; ++i) {
        lua_rawgeti(L, -1, i);
        made << luaX_toqobject<QObject>(L, -1, "Bonjour");
        lua_pop(L, 1);
    }
    lua_settop(L, 0);
    lua_close(L);
    for (const QPointer<QObject> &b : made)
        delete b.data();
    return status;
}
