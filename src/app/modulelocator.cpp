#include "modulelocator.h"
#include "luax.h"
#include "comms/bonjour.h"
#include "comms/serial.h"

#include <cstdio>

namespace orvane {

#ifdef Q_OS_WIN
const char *const kLuaSearchList = "?/init.lua;?.lua;modules";
const char *const kNativeSearchList = "?.dll;modules";
static const char *const kNativeExtension = "dll";
static const bool kKeepRoot = false;
#else
const char *const kLuaSearchList = "?/init.lua;?.lua;modules";
// A .dll never loads here; native modules are shared objects.
const char *const kNativeSearchList = "?.so;modules";
static const char *const kNativeExtension = "so";
// An absolute POSIX directory must stay absolute, or every path would become
// relative to the working directory.
static const bool kKeepRoot = true;
#endif

static const char kLocator[] = R"LUA(
local M = {}

function M.expandsearchpaths(dir, s, ext, keeproot)
  local out = {}
  for elem in string.gmatch(s, '[^;]+') do
    if not string.find(elem, '?', 1, true) then
      elem = elem .. '/?.' .. ext
    end
    local full = dir .. '/' .. elem
    local kept = {}
    for piece in string.gmatch(full, '[^/\\]+') do
      if piece == '..' then
        if #kept > 0 then table.remove(kept) end
      elseif piece ~= '.' then
        kept[#kept + 1] = piece
      end
    end
    local joined = table.concat(kept, '/')
    if keeproot and string.sub(full, 1, 1) == '/' then
      joined = '/' .. joined
    end
    out[#out + 1] = joined
  end
  return table.concat(out, ';')
end

function M.setpaths(basepath, paths, cpaths, cext, keeproot)
  package.path = M.expandsearchpaths(basepath, paths, 'lua', keeproot)
  package.cpath = M.expandsearchpaths(basepath, cpaths, cext or 'dll', keeproot)
  print('package.path', package.path)
  print('package.cpath', package.cpath)
end

function M.findmodules(bundlepath, bundlename, basepath, paths, cpaths, cext, keeproot)
  print('directory', bundlepath)
  print('directory', basepath)
  local bundle
  local f = io.open(bundlepath .. '/' .. bundlename, 'rb')
  if f then
    bundle = f:read('a')
    f:close()
  end
  if bundle and #bundle > 0 then
    basepath = bundlepath
    paths = ''
    local n = #bundle
    local last16 = string.sub(bundle, -16)
    local nloader = tonumber(string.match(last16, '^%d+'))
    print('size of bundle:', n)
    print('size of loader:', nloader)
    local loader = string.sub(bundle, n - 16 - nloader + 1, n - 16)
    assert(#loader == nloader)
    loadstring(loader)(bundle)
  end
  M.setpaths(basepath, paths, cpaths, cext, keeproot)
end

if select('#', ...) == 0 then
  return M
end
M.findmodules(...)
)LUA";

const char *moduleLocatorScript() { return kLocator; }

static int lloadstring(lua_State *L)
{
    size_t len = 0;
    const char *s = luaL_checklstring(L, 1, &len);
    const char *name = luaL_optstring(L, 2, s);
    if (luaL_loadbuffer(L, s, len, name) == LUA_OK)
        return 1;
    lua_pushnil(L);
    lua_insert(L, -2); /* nil, message */
    return 2;
}

void defineLoadstring(lua_State *L)
{
    lua_getglobal(L, "loadstring");
    const bool present = !lua_isnil(L, -1);
    lua_pop(L, 1);
    if (present)
        return;
    lua_pushcfunction(L, lloadstring);
    lua_setglobal(L, "loadstring");
}

void locateModules(lua_State *L, const QByteArray &bundleDir, const QByteArray &bundleName,
                   const QByteArray &baseDir, const char *paths, const char *cpaths)
{
    if (!cpaths)
        cpaths = paths;
    if (luaL_loadbuffer(L, kLocator, sizeof kLocator - 1, "=locator") != LUA_OK) {
        luaX_reporterror(L, "Locate modules");
        return;
    }
    lua_pushlstring(L, bundleDir.constData(), size_t(bundleDir.size()));
    lua_pushlstring(L, bundleName.constData(), size_t(bundleName.size()));
    lua_pushlstring(L, baseDir.constData(), size_t(baseDir.size()));
    lua_pushstring(L, paths);
    lua_pushstring(L, cpaths);
    lua_pushstring(L, kNativeExtension);
    lua_pushboolean(L, kKeepRoot);
    if (lua_pcall(L, 7, 0, 0) != LUA_OK)
        luaX_reporterror(L, "Locate modules");
}

const luaL_Reg *builtinModules()
{
    static const luaL_Reg modules[] = {
        {"bonjour.core", luaopen_bonjour_core},
        {"serial.core", luaopen_serial_core},
        {nullptr, nullptr},
    };
    return modules;
}

void preloadModules(lua_State *L, const luaL_Reg *modules)
{
    luaL_getsubtable(L, LUA_REGISTRYINDEX, LUA_PRELOAD_TABLE); /* preload */
    for (const luaL_Reg *m = modules; m->name; ++m) {
        lua_pushcfunction(L, m->func);
        lua_setfield(L, -2, m->name);
    }
    lua_pop(L, 1);
}

QByteArray luaQuote(const QByteArray &text)
{
    QByteArray out;
    out.reserve(text.size() + 2);
    out += '"';
    for (const char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 32 || u == 127) {
            char buf[8];
            snprintf(buf, sizeof buf, "\\%03u", unsigned(u));
            out += buf;
        } else {
            out += c;
        }
    }
    out += '"';
    return out;
}

QByteArray startChunk(const QString &module)
{
    const QByteArray m = module.toLocal8Bit();
    const QByteArray name = luaQuote(m);
    const QByteArray config = luaQuote(m + ".config");
    return "_APP=" + name + ";_CONFIG=" + config + "; _STANDALONE=true; require " + name;
}

} // namespace orvane
