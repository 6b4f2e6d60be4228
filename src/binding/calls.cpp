// The one road into scripts: protected calls with the argument-format
// language, the traceback handler and the error printing.
#include "luax.h"

#include <QObject>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int tracebackHandler(lua_State *L);

bool mustNotFail(const char *format);

} // namespace

lua_CFunction luaX_tracebackhandler()
{
    return tracebackHandler;
}

namespace {

int tracebackHandler(lua_State *L)
{
    const int t = lua_type(L, 1);
    if (t != LUA_TSTRING && t != LUA_TNUMBER)
        return 1;
    printf("ERROR(traceback): %s\n", lua_tostring(L, 1));
    if (lua_getglobal(L, "debug") != LUA_TTABLE) {
        lua_settop(L, 1);
        return 1;
    }
    if (lua_getfield(L, -1, "traceback") != LUA_TFUNCTION) {
        lua_settop(L, 1);
        return 1;
    }
    lua_pushvalue(L, 1);
    lua_pushinteger(L, 2);
    lua_call(L, 2, 1);
    // A script's own debug.traceback may answer with anything.
    if (const char *text = lua_tostring(L, -1))
        printf("ERROR(traceback): %s\n", text);
    return 1;
}

bool mustNotFail(const char *format)
{
    return !format || strchr(format, '!');
}

} // namespace

// The call itself, with the traceback handler already in place at handler.
// Extra arguments from the format are pushed here; the handler stays.
// "%i" indexes are the caller's: negative ones count from callerTop, and
// positive ones from shiftFrom up moved by one when the handler went in.
int luaX_vpcallh(lua_State *L, int handler, int nargs, int nresults, const char *format, va_list args, int callerTop,
                 int shiftFrom)
{
    int extraArgs = 0;
    int extraResults = 0;
    for (const char *p = format; p && *p; ++p) {
        if (*p != '%' || !p[1])
            continue;
        const char c = *++p;
        switch (c) {
        case 'd':
            lua_pushinteger(L, va_arg(args, int));
            ++extraArgs;
            break;
        case 'f':
            lua_pushnumber(L, va_arg(args, double));
            ++extraArgs;
            break;
        case 's':
            lua_pushstring(L, va_arg(args, const char *));
            ++extraArgs;
            break;
        case 'i': {
            int index = va_arg(args, int);
            if (index < 0 && index > LUA_REGISTRYINDEX)
                index = callerTop + 1 + index;
            if (index >= shiftFrom)
                ++index;
            if (index > 0 && index <= lua_gettop(L))
                lua_pushvalue(L, index);
            else
                lua_pushnil(L);
            ++extraArgs;
            break;
        }
        case 'o':
            luaX_pushqobjectsafe(L, va_arg(args, QObject *));
            ++extraArgs;
            break;
        case 'r':
            extraResults = va_arg(args, int);
            break;
        default:
            if (c >= '0' && c <= '9')
                extraResults = c - '0';
            break;
        }
    }
    const int status = lua_pcall(L, nargs + extraArgs, nresults + extraResults, handler);
    if (status == LUA_OK)
        return LUA_OK;
    if (mustNotFail(format)) {
        luaX_reporterror(L, "Call failed");
        fflush(stderr);
        exit(1);
    }
    return status;
}

int luaX_vpcall(lua_State *L, int nargs, int nresults, const char *format, va_list args)
{
    const int entryTop = lua_gettop(L);
    const int func = entryTop - nargs;
    lua_pushcfunction(L, tracebackHandler);
    lua_insert(L, func);
    const int status = luaX_vpcallh(L, func, nargs, nresults, format, args, entryTop, func);
    lua_remove(L, func);
    return status;
}

int luaX_pcall(lua_State *L, int nargs, int nresults, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    const int status = luaX_vpcall(L, nargs, nresults, format, args);
    va_end(args);
    return status;
}

int luaX_dostring(lua_State *L, const char *chunk, const char *format, ...)
{
    const int status = luaL_loadstring(L, chunk);
    if (status != LUA_OK) {
        printf("[%s]\n", lua_tostring(L, -1));
        fflush(stdout);
        lua_pop(L, 1);
        return status;
    }
    va_list args;
    va_start(args, format);
    const int result = luaX_vpcall(L, 0, 0, format, args);
    va_end(args);
    return result;
}

namespace {

int toStringUnprotected(lua_State *L)
{
    luaL_tolstring(L, 1, nullptr);
    return 1;
}

} // namespace

void luaX_pusherrortext(lua_State *L, int index)
{
    index = lua_absindex(L, index);
    // The usual string form runs the value's __tostring, which is the
    // script's and may raise, recurse without end or return no string.
    lua_pushcfunction(L, toStringUnprotected); /* f */
    lua_pushvalue(L, index);                   /* f, err */
    if (lua_pcall(L, 1, 1, 0) != LUA_OK || lua_type(L, -1) != LUA_TSTRING) {
        lua_pop(L, 1);
        lua_pushfstring(L, "(error object is a %s value)", luaL_typename(L, index));
    }
}

void luaX_reporterror(lua_State *L, const char *context)
{
    if (context)
        printf("Error: %s\n", context);
    luaX_pusherrortext(L, -1);
    printf("[%s]\n", lua_tostring(L, -1)); /* err, text */
    lua_pop(L, 2);
    fflush(stdout);
}
