#pragma once
// The one road from a script number to a native integer. Truncation toward
// zero, then the low bits a rule asks for; NaN gives 0 and values beyond the
// 64-bit range saturate, so no conversion is ever undefined behaviour.

#include <lua.hpp>

#include <cmath>
#include <cstdint>

namespace numbers {

inline int64_t truncate64(lua_Number n)
{
    if (std::isnan(n))
        return 0;
    if (n >= 9223372036854775807.0)
        return INT64_MAX;
    if (n <= -9223372036854775808.0)
        return INT64_MIN;
    return static_cast<int64_t>(n);
}

inline int32_t low32(int64_t v) { return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(v))); }
inline uint16_t low16(int64_t v) { return static_cast<uint16_t>(static_cast<uint64_t>(v)); }

// The value at index as a 64-bit integer: integers exactly, floats and
// numeric strings truncated toward zero, anything else 0.
inline int64_t toInt64(lua_State *L, int index)
{
    int isInt = 0;
    const lua_Integer i = lua_tointegerx(L, index, &isInt);
    if (isInt)
        return static_cast<int64_t>(i);
    return truncate64(lua_tonumberx(L, index, nullptr));
}

inline int32_t toInt32(lua_State *L, int index) { return low32(toInt64(L, index)); }

// luaL_checknumber / luaL_optnumber followed by the truncation rule.
inline int64_t checkInt64(lua_State *L, int index)
{
    int isInt = 0;
    const lua_Integer i = lua_tointegerx(L, index, &isInt);
    if (isInt)
        return static_cast<int64_t>(i);
    return truncate64(luaL_checknumber(L, index));
}
inline int32_t checkInt32(lua_State *L, int index) { return low32(checkInt64(L, index)); }
inline int32_t optInt32(lua_State *L, int index, int32_t def)
{
    return lua_isnoneornil(L, index) ? def : checkInt32(L, index);
}

// Arguments that must be integers (a count, a result code): luaL_checkinteger,
// so 2.5 raises "number has no integer representation" while 3.0 and "3"
// pass; then the low 32 bits.
inline int32_t checkInteger32(lua_State *L, int index) { return low32(luaL_checkinteger(L, index)); }
inline int32_t optInteger32(lua_State *L, int index, int32_t def)
{
    return lua_isnoneornil(L, index) ? def : checkInteger32(L, index);
}

} // namespace numbers
