// Runs Lua text with qt.core and then the event loop, so that tests can watch
// what timer and socket handlers do to the whole process (a failing
// onTimeout ends it with status 1).
//
//   timer_driver CODE [MS]
//
// The loop is left after MS milliseconds (default 5000) with status 3; a
// script can end it earlier with the global quit().
#include "luax.h"

#include <QApplication>
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
        fprintf(stderr, "usage: timer_driver CODE [MS]\n");
        return 2;
    }
    const int limit = argc > 2 ? atoi(argv[2]) : 5000;

    lua_State *L = luaX_newstate();
    luaL_requiref(L, "qt.core", luaopen_qt_core, 0);
    lua_setglobal(L, "qt");
    lua_register(L, "quit", lquit);
    lua_settop(L, 0);

    if (luaX_dostring(L, argv[1], "") != LUA_OK)
        return 2;
    QTimer::singleShot(limit, [] { QCoreApplication::exit(3); });
    const int status = app.exec();
    printf("loop ended %d\n", status);
    fflush(stdout);
    lua_close(L);
    return status;
}
