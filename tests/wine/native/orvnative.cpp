// A native Lua module as a third party would build it against lua53.dll:
// require "orvnative" finds it through the "?.dll" search path. Its error
// is raised inside the DLL and must unwind through the host's frames.
#include <lua.hpp>

namespace {

int add(lua_State *L)
{
    lua_pushinteger(L, luaL_checkinteger(L, 1) + luaL_checkinteger(L, 2));
    return 1;
}

int fail(lua_State *L)
{
    return luaL_error(L, "raised in orvnative.dll");
}

const luaL_Reg functions[] = {{"add", add}, {"fail", fail}, {nullptr, nullptr}};

} // namespace

extern "C" __declspec(dllexport) int luaopen_orvnative(lua_State *L)
{
    luaL_newlib(L, functions);
    return 1;
}
