#pragma once
// Where Lua finds the application's modules: a directory tree near the
// executable, or bundle.bin with its own loader. Also the host's built-in
// module table and the start chunk that loads the application module.

#include <QByteArray>
#include <QString>

#include <lua.hpp>

namespace orvane {

extern const char *const kLuaSearchList;
extern const char *const kNativeSearchList;

// The embedded locator chunk. Called with the five texts it finds and sets
// the paths; called with no arguments it returns its functions (findmodules,
// setpaths, expandsearchpaths) so they can be used on their own.
const char *moduleLocatorScript();

// Debian's Lua is built without the 5.1 compatibility that provides
// loadstring; the locator and older bundles call it.
void defineLoadstring(lua_State *L);

void locateModules(lua_State *L, const QByteArray &bundleDir, const QByteArray &bundleName,
                   const QByteArray &baseDir, const char *paths, const char *cpaths = nullptr);

const luaL_Reg *builtinModules();
void preloadModules(lua_State *L, const luaL_Reg *modules);

// _APP=...; require ... with the module name as a quoted Lua string literal,
// so no name can inject code.
QByteArray startChunk(const QString &module);
QByteArray luaQuote(const QByteArray &text);

} // namespace orvane
