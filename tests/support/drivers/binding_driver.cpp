// Runs one call into a script the way the host would, so that tests can
// watch the paths that end the process (exit status 1 after "Call failed").
//
//   binding_driver MODE CODE
//
// MODE picks the road into the script; CODE is Lua text:
//   pcall-null       CODE is called with luaX_pcall and a null format
//   pcall-bang       ... with the format "%d!" and one integer
//   pcall-empty      ... with the empty format (the call survives)
//   dispatch-null    CODE runs first; then "onPaint" is dispatched with a null format
//   deleted          a QObject handle is the global obj; CODE runs; the object is deleted
//   callmethod-null  like deleted, but calls obj's field "boom" with a null format
// "returned N" on standard output means the process went on after the call.
#include "luax.h"
#include "tracker.h"

#include <QApplication>

#include <cstdio>
#include <cstring>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    if (argc < 3) {
        fprintf(stderr, "usage: binding_driver MODE CODE\n");
        return 2;
    }
    const char *mode = argv[1];
    const char *code = argv[2];

    lua_State *L = luaX_newstate();
    luaL_requiref(L, "qt.core", luaopen_qt_core, 0);
    lua_setglobal(L, "qt");
    lua_settop(L, 0);

    int status = -1;
    if (!strncmp(mode, "pcall-", 6)) {
        if (luaL_loadstring(L, code) != LUA_OK) {
            fprintf(stderr, "load: %s\n", lua_tostring(L, -1));
            return 2;
        }
        if (!strcmp(mode, "pcall-null"))
            status = luaX_pcall(L, 0, 0, nullptr);
        else if (!strcmp(mode, "pcall-bang"))
            status = luaX_pcall(L, 0, 0, "%d!", 7);
        else
            status = luaX_pcall(L, 0, 0, "");
    } else if (!strcmp(mode, "dispatch-null")) {
        QObject object;
        luaX_pushqobject(L, &object);
        lua_pop(L, 1);
        if (luaX_dostring(L, code, "") != LUA_OK)
            return 2;
        status = ObjectTracker::forObject(&object)->dispatch(&object, "onPaint", nullptr);
    } else if (!strcmp(mode, "deleted") || !strcmp(mode, "callmethod-null")) {
        auto *object = new QObject;
        luaX_pushqobject(L, object);
        lua_setglobal(L, "obj");
        if (luaX_dostring(L, code, "") != LUA_OK)
            return 2;
        if (!strcmp(mode, "deleted")) {
            delete object;
            status = 0;
        } else {
            status = luaX_callmethod(L, object, "boom", nullptr);
            delete object;
        }
    } else {
        fprintf(stderr, "unknown mode %s\n", mode);
        return 2;
    }
    printf("returned %d\n", status);
    fflush(stdout);
    lua_close(L);
    return 0;
}
