// The two hot roads across the binding, each beside the bare Lua C API
// doing the same work:
//   dispatch: ObjectTracker::dispatch(object, "onX", "%d %d", x, y) into an
//             empty MsgHandler, against getglobal + rawgetp + pushes + pcall
//             with a message handler below the function + settop;
//   method:   a script calling a method on a handle of a class two levels
//             below the class the method checks, against a plain C function
//             on a light userdata; both do the same cheap Qt call;
//   fieldmethod: the same through a class with per-object script fields
//             (Timer, TcpServer, TcpSocket, SerialPort), whose lookup runs
//             luaX_index as a metamethod, against the same plain C function.
//
// Two ways to run it:
//   bench_binding [google benchmark options]      timings of all four cases
//   bench_binding --mode=CASE --iterations=N      just that loop, N times, for
//       instruction counting (callgrind collects only around the loop)
//   bench_binding --list-pairs                    the pair names (CASE = PAIR-ours, PAIR-bare)
#include "luax.h"
#include "tracker.h"
#include "pairs.h"

#include <QCoreApplication>
#include <QObject>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_TOGGLE_COLLECT
#endif

namespace {

// Calls a Lua loop of this many method calls per benchmark iteration.
constexpr int kCallsPerLoop = 1000;

int mbase_empty(lua_State *L)
{
    auto *object = luaX_checkqobject<QObject>(L, 1, "MBase");
    lua_pushboolean(L, object->objectName().isEmpty());
    return 1;
}

int bare_empty(lua_State *L)
{
    auto *object = static_cast<QObject *>(lua_touserdata(L, 1));
    lua_pushboolean(L, object->objectName().isEmpty());
    return 1;
}

// Same shape as the binding's handler: a C function, never called on success.
int bare_traceback(lua_State *L)
{
    if (lua_getglobal(L, "debug") == LUA_TTABLE && lua_getfield(L, -1, "traceback") == LUA_TFUNCTION) {
        lua_pushvalue(L, 1);
        lua_pushinteger(L, 2);
        lua_call(L, 2, 1);
        return 1;
    }
    lua_settop(L, 1);
    return 1;
}

const luaL_Reg mbaseMethods[] = {{"empty", mbase_empty}, {nullptr, nullptr}};

// One interpreter set up like the host's, with the bench classes and loops.
struct World
{
    lua_State *L = nullptr;
    QObject object;
    ObjectTracker *tracker = nullptr;

    World()
    {
        pairs::QuietStdout quiet;
        L = luaX_newstate();
        luaL_requiref(L, "qt.core", luaopen_qt_core, 0);
        lua_pop(L, 1);
        luaX_createclass(L, "MBase", mbaseMethods, nullptr, 0, 0);
        luaX_createclass(L, "MMid", nullptr, "MBase", 0, 0);
        luaX_createclass(L, "MLeaf", nullptr, "MMid", 0, 0);
        luaX_createclass(L, "MFielded", nullptr, "MMid", 1, 0);
        quiet.end();

        // The dispatched object is a tracked QObject, as every widget is.
        luaX_pushobject(L, &object, "QObject");
        lua_pop(L, 1);
        tracker = ObjectTracker::forObject(&object);
        luaL_dostring(L, "function MsgHandler() end");

        // A second object under the leaf class: the method check walks two levels.
        luaX_pushobject(L, &leafObject, "MLeaf");
        lua_setglobal(L, "leaf");
        lua_pushlightuserdata(L, &leafObject);
        lua_setglobal(L, "leafPointer");
        lua_register(L, "bare_empty", bare_empty);
        luaL_loadstring(L, "local h, n = leaf, ... for i = 1, n do h:empty() end");
        oursLoop = luaL_ref(L, LUA_REGISTRYINDEX);
        luaX_pushobject(L, &fieldedObject, "MFielded");
        lua_setglobal(L, "fielded");
        luaL_loadstring(L, "local h, n = fielded, ... for i = 1, n do h:empty() end");
        fieldedLoop = luaL_ref(L, LUA_REGISTRYINDEX);
        luaL_loadstring(L, "local f, p, n = bare_empty, leafPointer, ... for i = 1, n do f(p) end");
        bareLoop = luaL_ref(L, LUA_REGISTRYINDEX);
    }
    ~World()
    {
        lua_close(L);
    }

    int dispatchOurs(int x, int y) { return tracker->dispatch(&object, "onX", "%d %d", x, y); }

    int dispatchBare(int x, int y)
    {
        const int top = lua_gettop(L);
        lua_pushcfunction(L, bare_traceback);          /* handler */
        lua_getglobal(L, "MsgHandler");                /* handler, fn */
        lua_rawgetp(L, LUA_REGISTRYINDEX, &object);    /* handler, fn, handle */
        lua_pushstring(L, "onX");
        lua_pushinteger(L, x);
        lua_pushinteger(L, y);                         /* handler, fn, handle, name, x, y */
        int result = 0;
        if (lua_pcall(L, 4, 1, top + 1) == LUA_OK)
            result = lua_isboolean(L, -1) ? lua_toboolean(L, -1) : int(lua_tointeger(L, -1));
        lua_settop(L, top);
        return result;
    }

    void runLoop(int ref, int calls)
    {
        lua_rawgeti(L, LUA_REGISTRYINDEX, ref);
        lua_pushinteger(L, calls);
        if (lua_pcall(L, 1, 0, 0) != LUA_OK) {
            fprintf(stderr, "loop failed: %s\n", lua_tostring(L, -1));
            lua_pop(L, 1);
        }
    }
    void methodOurs(int calls) { runLoop(oursLoop, calls); }
    void methodBare(int calls) { runLoop(bareLoop, calls); }
    void fieldMethodOurs(int calls) { runLoop(fieldedLoop, calls); }

    QObject leafObject;
    QObject fieldedObject;
    int oursLoop = LUA_NOREF;
    int fieldedLoop = LUA_NOREF;
    int bareLoop = LUA_NOREF;
};

World *world = nullptr;

void BM_dispatch_ours(benchmark::State &state)
{
    int x = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(world->dispatchOurs(++x, 7));
}
void BM_dispatch_bare(benchmark::State &state)
{
    int x = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(world->dispatchBare(++x, 7));
}
void BM_method_ours(benchmark::State &state)
{
    for (auto _ : state)
        world->methodOurs(kCallsPerLoop);
    state.SetItemsProcessed(state.iterations() * kCallsPerLoop);
}
void BM_method_bare(benchmark::State &state)
{
    for (auto _ : state)
        world->methodBare(kCallsPerLoop);
    state.SetItemsProcessed(state.iterations() * kCallsPerLoop);
}

void BM_fieldmethod_ours(benchmark::State &state)
{
    for (auto _ : state)
        world->fieldMethodOurs(kCallsPerLoop);
    state.SetItemsProcessed(state.iterations() * kCallsPerLoop);
}
void BM_fieldmethod_bare(benchmark::State &state)
{
    BM_method_bare(state);
}

BENCHMARK(BM_dispatch_ours);
BENCHMARK(BM_dispatch_bare);
BENCHMARK(BM_method_ours);
BENCHMARK(BM_method_bare);
BENCHMARK(BM_fieldmethod_ours);
BENCHMARK(BM_fieldmethod_bare);

// The loop alone, for instruction counts: only the loop is collected.
int runMode(const std::string &mode, long iterations)
{
    int sink = 0;
    if (mode == "dispatch-ours") {
        CALLGRIND_TOGGLE_COLLECT;
        for (long i = 0; i < iterations; ++i)
            sink += world->dispatchOurs(int(i), 7);
        CALLGRIND_TOGGLE_COLLECT;
    } else if (mode == "dispatch-bare") {
        CALLGRIND_TOGGLE_COLLECT;
        for (long i = 0; i < iterations; ++i)
            sink += world->dispatchBare(int(i), 7);
        CALLGRIND_TOGGLE_COLLECT;
    } else if (mode == "method-ours") {
        CALLGRIND_TOGGLE_COLLECT;
        world->methodOurs(int(iterations));
        CALLGRIND_TOGGLE_COLLECT;
    } else if (mode == "fieldmethod-ours") {
        CALLGRIND_TOGGLE_COLLECT;
        world->fieldMethodOurs(int(iterations));
        CALLGRIND_TOGGLE_COLLECT;
    } else if (mode == "method-bare" || mode == "fieldmethod-bare") {
        CALLGRIND_TOGGLE_COLLECT;
        world->methodBare(int(iterations));
        CALLGRIND_TOGGLE_COLLECT;
    } else {
        fprintf(stderr, "unknown mode %s\n", mode.c_str());
        return 2;
    }
    printf("%s %ld %d\n", mode.c_str(), iterations, sink);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    pairs::Args args;
    if (!pairs::parseArgs(argc, argv, "dispatch\nmethod\nfieldmethod", args))
        return 0;
    QCoreApplication app(argc, argv);
    World w;
    world = &w;
    const int status = pairs::run(argc, argv, args, runMode);
    world = nullptr;
    return status;
}
