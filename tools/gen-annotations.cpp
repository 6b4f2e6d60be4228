// gen-annotations: opens the script modules exactly as the host does and
// hands their class tables to tools/annotations/generate.lua, which writes
// the language-server annotations and the API reference and lists every
// difference between the registered methods and their descriptions.
//
//   gen-annotations [--check] [--types DIR] [--docs DIR]
//                   [--descriptions FILE] [--script FILE]
//
// --check writes nothing and exits with status 1 when anything differs;
// otherwise differences are printed as warnings and the files are written.
#include "comms/bonjour.h"
#include "comms/serial.h"
#include "devtools/testdriver.h"
#include "luax.h"
#include "mainwindow.h"
#include "resources.h"

#include <QApplication>
#include <QDir>

#include <cstdio>
#include <cstring>

#ifndef ORVANE_ANNOTATIONS_DIR
#define ORVANE_ANNOTATIONS_DIR "tools/annotations"
#endif

namespace {

int traceback(lua_State *L)
{
    luaL_traceback(L, L, lua_tostring(L, 1), 1);
    return 1;
}

int usage()
{
    fputs(
        "usage: gen-annotations [--check] [--types DIR] [--docs DIR] [--descriptions FILE] [--script FILE]\n", stderr);
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    // The classes need a QApplication to exist, never a screen.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    bool check = false;
    QByteArray types, docs;
    QByteArray descriptions = ORVANE_ANNOTATIONS_DIR "/descriptions.lua";
    QByteArray script = ORVANE_ANNOTATIONS_DIR "/generate.lua";
    for (int i = 1; i < argc; ++i) {
        const bool hasValue = i + 1 < argc;
        if (!strcmp(argv[i], "--check"))
            check = true;
        else if (!strcmp(argv[i], "--types") && hasValue)
            types = argv[++i];
        else if (!strcmp(argv[i], "--docs") && hasValue)
            docs = argv[++i];
        else if (!strcmp(argv[i], "--descriptions") && hasValue)
            descriptions = argv[++i];
        else if (!strcmp(argv[i], "--script") && hasValue)
            script = argv[++i];
        else
            return usage();
    }
    if (check) {
        types.clear();
        docs.clear();
    }
    for (const QByteArray &dir : { types, docs }) {
        if (!dir.isEmpty() && !QDir().mkpath(QString::fromLocal8Bit(dir))) {
            fprintf(stderr, "gen-annotations: cannot create %s\n", dir.constData());
            return 1;
        }
    }

    lua_State *L = luaX_newstate();
    // The same openers, in the same order, as MainWindow::startModule.
    luaL_requiref(L, "qt.core", luaopen_qt_core, 0); /* qt.core */
    luaX_createclass(L, MainWindow::staticMetaObject.className(), lmainwindow_methods, "QWidget", 0, 1);
    luaL_requiref(L, "bonjour.core", luaopen_bonjour_core, 0); /* qt.core, bonjour.core */
    luaL_requiref(L, "serial.core", luaopen_serial_core, 0); /* qt.core, bonjour.core, serial.core */
    // The driver library is a module too: its script half is a resource.
    orvane::initResources();
    luaL_requiref(L, "orvane.test", orvane::luaopen_orvane_test, 0);
    lua_settop(L, 0);
    fflush(stdout);

    lua_pushcfunction(L, traceback); /* handler */
    if (luaL_loadfile(L, script.constData()) != LUA_OK) { /* handler, chunk */
        fprintf(stderr, "gen-annotations: %s\n", lua_tostring(L, -1));
        lua_close(L);
        return 1;
    }
    lua_createtable(L, 0, 4); /* handler, chunk, opts */
    lua_pushstring(L, descriptions.constData());
    lua_setfield(L, -2, "descriptions");
    if (!types.isEmpty()) {
        lua_pushstring(L, types.constData());
        lua_setfield(L, -2, "types");
    }
    if (!docs.isEmpty()) {
        lua_pushstring(L, docs.constData());
        lua_setfield(L, -2, "docs");
    }
    const char *const modules[] = { "qt.core", "bonjour.core", "serial.core", "orvane.test" };
    const int moduleCount = int(sizeof modules / sizeof modules[0]);
    lua_createtable(L, moduleCount, 0);
    for (int i = 0; i < moduleCount; ++i) {
        lua_pushstring(L, modules[i]);
        lua_rawseti(L, -2, i + 1);
    }
    lua_setfield(L, -2, "modules");
    if (lua_pcall(L, 1, 1, 1) != LUA_OK) { /* handler, problems or message */
        fprintf(stderr, "gen-annotations: %s\n", lua_tostring(L, -1));
        lua_close(L);
        return 1;
    }

    const lua_Integer count = lua_istable(L, -1) ? luaL_len(L, -1) : 0;
    for (lua_Integer i = 1; i <= count; ++i) {
        lua_rawgeti(L, -1, i); /* handler, problems, text */
        fprintf(stderr, "%s: %s\n", check ? "gen-annotations" : "gen-annotations: warning", lua_tostring(L, -1));
        lua_pop(L, 1);
    }
    lua_close(L);
    if (check && count > 0) {
        fprintf(stderr, "gen-annotations: %lld difference(s) between the registered classes and %s\n",
            static_cast<long long>(count), descriptions.constData());
        return 1;
    }
    return 0;
}
