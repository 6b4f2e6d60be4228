#pragma once
// What every fuzz target does to its interpreter: the input is hostile code
// as much as data, so it gets a bounded number of instructions, a bounded
// amount of memory, and no way to run programs, end the process, write
// files or lift the bound again.

#include <lua.hpp>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <initializer_list>
#include <unistd.h>

namespace fuzzsandbox {

// Instructions one input may run. A loader that loops forever hits this in
// a few milliseconds instead of stalling the fuzzer until its timeout.
constexpr long kInstructionLimit = 2000000;
constexpr int kHookEvery = 1000;
constexpr size_t kMemoryLimit = size_t(64) << 20;

struct Budget
{
    lua_Alloc alloc;
    void *allocData;
    size_t used;
    long instructions;
};

inline void *cappedAlloc(void *ud, void *ptr, size_t osize, size_t nsize)
{
    auto *b = static_cast<Budget *>(ud);
    const size_t old = ptr ? osize : 0;
    if (nsize > old && b->used - old + nsize > kMemoryLimit)
        return nullptr; // Lua turns this into a "not enough memory" error
    void *p = b->alloc(b->allocData, ptr, osize, nsize);
    if (p || nsize == 0)
        b->used = b->used - old + nsize;
    return p;
}

inline Budget *budgetOf(lua_State *L)
{
    void *ud = nullptr;
    lua_getallocf(L, &ud);
    return static_cast<Budget *>(ud);
}

inline void countHook(lua_State *L, lua_Debug *)
{
    Budget *b = budgetOf(L);
    b->instructions += kHookEvery;
    if (b->instructions > kInstructionLimit)
        luaL_error(L, "instruction limit reached");
}

inline void removeField(lua_State *L, const char *table, const char *field)
{
    if (lua_getglobal(L, table) == LUA_TTABLE) {
        lua_pushnil(L);
        lua_setfield(L, -2, field);
    }
    lua_pop(L, 1);
}

// io.open for reading only: the locator reads bundle.bin with it.
inline int readOnlyOpen(lua_State *L)
{
    const char *mode = luaL_optstring(L, 2, "r");
    if (mode[0] != 'r' || mode[1] == '+' || (mode[1] && mode[2] == '+'))
        return luaL_error(L, "io.open: only reading is allowed here");
    lua_pushvalue(L, lua_upvalueindex(1));
    lua_insert(L, 1);
    lua_call(L, lua_gettop(L) - 1, LUA_MULTRET);
    return lua_gettop(L);
}

// Lua 5.3 does not verify precompiled chunks: malformed bytecode can break
// the virtual machine itself, which is Lua's limit and not the locator's.
// Bundles are part of the installed application; only source is fuzzed.
inline int textOnlyLoad(lua_State *L)
{
    const int top = lua_gettop(L);
    if (lua_type(L, 1) == LUA_TSTRING && lua_tostring(L, 1)[0] == LUA_SIGNATURE[0]) {
        lua_pushnil(L);
        lua_pushliteral(L, "precompiled chunks are not loaded here");
        return 2;
    }
    if (lua_type(L, 1) == LUA_TFUNCTION) {
        // load(reader, name, mode, env): force text mode.
        lua_settop(L, top < 4 ? 3 : top);
        lua_pushliteral(L, "t");
        lua_replace(L, 3);
    }
    lua_pushvalue(L, lua_upvalueindex(1));
    lua_insert(L, 1);
    lua_call(L, lua_gettop(L) - 1, LUA_MULTRET);
    return lua_gettop(L);
}

inline void wrapGlobal(lua_State *L, const char *name, lua_CFunction wrapper)
{
    lua_getglobal(L, name);
    lua_pushcclosure(L, wrapper, 1);
    lua_setglobal(L, name);
}

// Call right after the state is made; budget must outlive the state.
inline void confine(lua_State *L, Budget *budget)
{
    budget->alloc = lua_getallocf(L, &budget->allocData);
    budget->used = size_t(lua_gc(L, LUA_GCCOUNT, 0)) * 1024 + size_t(lua_gc(L, LUA_GCCOUNTB, 0));
    budget->instructions = 0;
    lua_setallocf(L, cappedAlloc, budget);
    lua_sethook(L, countHook, LUA_MASKCOUNT, kHookEvery);

    for (const char *f : {"execute", "exit", "remove", "rename", "tmpname", "setlocale"})
        removeField(L, "os", f);
    for (const char *f : {"popen", "output", "tmpfile"})
        removeField(L, "io", f);
    removeField(L, "package", "loadlib");
    // debug.sethook would lift the instruction bound.
    lua_pushnil(L);
    lua_setglobal(L, "debug");
    luaL_getsubtable(L, LUA_REGISTRYINDEX, LUA_LOADED_TABLE);
    lua_pushnil(L);
    lua_setfield(L, -2, "debug");
    lua_pop(L, 1);
    // Native modules from package.cpath would run unconfined.
    lua_getglobal(L, "package");
    lua_getfield(L, -1, "searchers");
    lua_pushnil(L);
    lua_rawseti(L, -2, 4);
    lua_pushnil(L);
    lua_rawseti(L, -2, 3);
    lua_pop(L, 2);
    wrapGlobal(L, "load", textOnlyLoad);
    wrapGlobal(L, "loadstring", textOnlyLoad);
    if (lua_getglobal(L, "io") == LUA_TTABLE) {
        lua_getfield(L, -1, "open");
        lua_pushcclosure(L, readOnlyOpen, 1);
        lua_setfield(L, -2, "open");
    }
    lua_pop(L, 1);
}

// Everything the locator and the loaders print would bury libFuzzer's own
// report, which goes to standard error; and io.read() on a terminal would
// wait for ever.
inline void silenceStdio()
{
    fflush(stdout);
    const int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
        dup2(null, STDOUT_FILENO);
        dup2(null, STDIN_FILENO);
        close(null);
    }
}

} // namespace fuzzsandbox
