// The class system: metatables with single inheritance, per-object fields,
// the object map, and the checks every method goes through.
#include "luax.h"
#include "numbers.h"

#include <QMetaObject>
#include <QObject>

#include <cstdio>
#include <cstring>

namespace {

// Class checks run on every method call, so the answer to "is this handle's
// class `name` or derived from it" is kept in a small table of pointers: the
// class metatable found for each class-name pointer the host passes, and the
// base of each class metatable. It lives in a userdata of the state (so it is
// freed with the state and stays valid while finalizers run) and is reached
// through the state's extra space. Plain data only: nothing to destroy.
struct ClassCache
{
    enum { NameSlots = 512, ClassSlots = 128 };
    struct NameEntry
    {
        const char *name;
        const void *mt;
    };
    struct ClassEntry
    {
        const void *mt;
        const void *base;
    };
    NameEntry names[NameSlots];
    ClassEntry classes[ClassSlots];
    // Recent answers: the last class name asked for, and (class, ancestor)
    // pairs already proven, so a method called in a loop costs two compares.
    enum { HitSlots = 64 };
    const char *lastName;
    const void *lastTarget;
    const void *lastProven; // a class proven to be lastName's class or below it
    ClassEntry hits[HitSlots];
    // Names looked up on every event, interned once: reading one back from
    // the registry by integer costs a third of interning the C string again.
    int keyRefs[LUAX_KEYCOUNT];
};

const char *const keyNames[LUAX_KEYCOUNT] = {"__index", "MsgHandler"};

ClassCache *classCache(lua_State *L)
{
    return *static_cast<ClassCache **>(lua_getextraspace(L));
}

inline size_t slotOf(const void *p, size_t count)
{
    return (reinterpret_cast<uintptr_t>(p) >> 4) & (count - 1);
}

const void *cachedBase(ClassCache *c, const void *mt)
{
    for (size_t n = 0, i = slotOf(mt, ClassCache::ClassSlots); n < ClassCache::ClassSlots;
         ++n, i = (i + 1) & (ClassCache::ClassSlots - 1)) {
        const ClassCache::ClassEntry &e = c->classes[i];
        if (e.mt == mt)
            return e.base;
        if (!e.mt)
            return nullptr;
    }
    return nullptr;
}

void rememberBase(ClassCache *c, const void *mt, const void *base)
{
    // A class registered again may have a new base: proven pairs may be stale.
    memset(c->hits, 0, sizeof c->hits);
    c->lastProven = nullptr;
    for (size_t n = 0, i = slotOf(mt, ClassCache::ClassSlots); n < ClassCache::ClassSlots;
         ++n, i = (i + 1) & (ClassCache::ClassSlots - 1)) {
        ClassCache::ClassEntry &e = c->classes[i];
        if (!e.mt || e.mt == mt) {
            e.mt = mt;
            e.base = base;
            return;
        }
    }
}

// The class metatable registered under name, or null; remembered per name
// pointer once the class exists.
const void *targetClass(lua_State *L, ClassCache *c, const char *name)
{
    size_t i = slotOf(name, ClassCache::NameSlots);
    for (size_t n = 0; n < ClassCache::NameSlots; ++n, i = (i + 1) & (ClassCache::NameSlots - 1)) {
        const ClassCache::NameEntry &e = c->names[i];
        if (e.name == name)
            return e.mt;
        if (!e.name)
            break;
    }
    luaL_getmetatable(L, name);
    const void *mt = lua_istable(L, -1) ? lua_topointer(L, -1) : nullptr;
    lua_pop(L, 1);
    if (mt) {
        for (size_t n = 0, j = slotOf(name, ClassCache::NameSlots); n < ClassCache::NameSlots;
             ++n, j = (j + 1) & (ClassCache::NameSlots - 1)) {
            if (!c->names[j].name) {
                c->names[j] = {name, mt};
                break;
            }
        }
    }
    return mt;
}

// The general walk along the metatables' __index chain, for states made
// without the cache.
LuaHandle *testByWalking(lua_State *L, int index, const char *className)
{
    void *p = lua_touserdata(L, index);
    if (!lua_getmetatable(L, index))
        return nullptr;
    const int top = lua_gettop(L); /* current */
    if (static_cast<LuaHandle *>(p)->madeAs != lua_topointer(L, top)) {
        lua_settop(L, top - 1);
        return nullptr;
    }
    luaL_getmetatable(L, className); /* current, target */
    if (lua_isnil(L, -1)) {
        lua_settop(L, top - 1);
        return nullptr;
    }
    lua_pushvalue(L, top); /* current, target, cursor */
    for (;;) {
        if (lua_rawequal(L, -1, -2)) {
            lua_settop(L, top - 1);
            return static_cast<LuaHandle *>(p);
        }
        if (luaL_getmetafield(L, -1, "__index") == LUA_TNIL) { /* current, target, cursor, next? */
            lua_settop(L, top - 1);
            return nullptr;
        }
        lua_replace(L, -2); /* current, target, next */
        if (!lua_istable(L, -1)) {
            lua_settop(L, top - 1);
            return nullptr;
        }
    }
}

} // namespace

lua_State *luaX_newstate()
{
    lua_State *L = luaL_newstate();
    luaL_openlibs(L);
    auto *cache = static_cast<ClassCache *>(lua_newuserdata(L, sizeof(ClassCache)));
    memset(cache, 0, sizeof(ClassCache));
    lua_setfield(L, LUA_REGISTRYINDEX, "luaX.ClassCache");
    *static_cast<ClassCache **>(lua_getextraspace(L)) = cache;
    for (int key = 0; key < LUAX_KEYCOUNT; ++key) {
        lua_pushstring(L, keyNames[key]);
        cache->keyRefs[key] = luaL_ref(L, LUA_REGISTRYINDEX);
    }
    const int top = lua_gettop(L);
    if (luaL_loadstring(L, "return setmetatable({}, {__mode='k'})") != LUA_OK
        || lua_pcall(L, 0, 1, 0) != LUA_OK) {
        luaX_reporterror(L, "Set weak keys for _UV");
    } else {
        lua_setfield(L, LUA_REGISTRYINDEX, "_UV");
    }
    lua_settop(L, top);
    return L;
}

void luaX_createclass(lua_State *L, const char *name, const luaL_Reg *methods, const char *base, int fields,
                      int exported)
{
    printf("luaX_createclass %s:%s\n", name, base ? base : "-");
    luaL_newmetatable(L, name); /* mt */
    const int mt = lua_gettop(L);
    if (base) {
        luaL_getmetatable(L, base); /* mt, basemt */
        const int bmt = lua_gettop(L);
        lua_pushnil(L);
        while (lua_next(L, bmt)) { /* mt, basemt, key, value */
            if (lua_type(L, -1) == LUA_TFUNCTION) {
                lua_pushvalue(L, -2); /* mt, basemt, key, value, key */
                if (lua_rawget(L, mt) == LUA_TNIL) {
                    lua_pop(L, 1);
                    lua_pushvalue(L, -2);
                    lua_pushvalue(L, -2); /* mt, basemt, key, value, key, value */
                    lua_rawset(L, mt);
                } else {
                    lua_pop(L, 1);
                }
            }
            lua_pop(L, 1); /* mt, basemt, key */
        }
        lua_createtable(L, 0, 1); /* mt, basemt, meta-of-mt */
        lua_pushvalue(L, bmt);
        lua_setfield(L, -2, "__index");
        lua_setmetatable(L, mt);
        lua_pop(L, 1); /* mt */
    }
    if (methods)
        luaL_setfuncs(L, methods, 0);
    if (fields) {
        lua_pushliteral(L, "__newindex");
        if (lua_rawget(L, mt) == LUA_TNIL) {
            lua_pop(L, 1);
            lua_pushcfunction(L, luaX_newindex);
            lua_setfield(L, mt, "__newindex");
        } else {
            lua_pop(L, 1);
            puts("luaX_newindex not installed in class: __newindex already exists");
        }
        lua_pushliteral(L, "__index");
        if (lua_rawget(L, mt) == LUA_TNIL) {
            lua_pop(L, 1);
            lua_pushcfunction(L, luaX_index);
            lua_setfield(L, mt, "__index");
        } else {
            lua_pop(L, 1);
            puts("luaX_index not installed in class; __index already exists");
        }
    }
    lua_pushliteral(L, "__classname");
    lua_pushstring(L, name);
    lua_rawset(L, mt);
    if (ClassCache *cache = classCache(L)) {
        const void *basePointer = nullptr;
        if (base) {
            luaL_getmetatable(L, base);
            basePointer = lua_istable(L, -1) ? lua_topointer(L, -1) : nullptr;
            lua_pop(L, 1);
        }
        rememberBase(cache, lua_topointer(L, mt), basePointer);
    }
    lua_pushliteral(L, "__index");
    if (lua_rawget(L, mt) == LUA_TNIL) {
        lua_pop(L, 1);
        lua_pushliteral(L, "__index");
        lua_pushvalue(L, mt);
        lua_rawset(L, mt);
    } else {
        lua_pop(L, 1);
    }
    if (exported)
        lua_setfield(L, mt - 1, name);
    else
        lua_pop(L, 1);
}

void luaX_pushkey(lua_State *L, LuaXKey key)
{
    // A script that rewrites these registry slots through the debug library
    // misleads only its own lookups: every value is a valid key for a raw read.
    if (ClassCache *c = classCache(L))
        lua_rawgeti(L, LUA_REGISTRYINDEX, c->keyRefs[key]);
    else
        lua_pushstring(L, keyNames[key]);
}

int luaX_index(lua_State *L)
{
    // Reachable from scripts through the class tables, with any arguments:
    // the user value exists only on full userdata.
    if (lua_type(L, 1) != LUA_TUSERDATA)
        luaL_checktype(L, 1, LUA_TUSERDATA);
    if (lua_getuservalue(L, 1) == LUA_TTABLE) { /* handle, key, uv */
        lua_pushvalue(L, 2);
        if (lua_rawget(L, -2) != LUA_TNIL) /* handle, key, uv, value */
            return 1;
    }
    // Every method call of these classes comes through here: what was pushed
    // so far is left below (only the top value is returned) instead of popped.
    if (!lua_getmetatable(L, 1))
        return 0;
    lua_pushvalue(L, 2);
    lua_gettable(L, -2); /* ..., mt, value: through the base chain */
    return 1;
}

int luaX_newindex(lua_State *L)
{
    luaL_checktype(L, 1, LUA_TUSERDATA);
    const int type = lua_getuservalue(L, 1);
    // Another user value (a painter's image, which keeps the pixmap alive
    // while painted on) is not a field table and must not be replaced.
    if (type != LUA_TTABLE && type != LUA_TNIL)
        return luaL_error(L, "attempt to index a %s value", luaL_typename(L, 1));
    if (type != LUA_TTABLE) {
        lua_pop(L, 1);
        lua_newtable(L);
        lua_pushvalue(L, -1);
        lua_setuservalue(L, 1);
    }
    lua_pushvalue(L, 2);
    lua_pushvalue(L, 3);
    lua_rawset(L, -3);
    return 0;
}

void luaX_newobject(lua_State *L, void *object, const char *className, int flags)
{
    if ((flags & HANDLE_OWNED) && !(flags & HANDLE_TRACKED))
        flags |= HANDLE_UNTRACKED;
    if (!(flags & HANDLE_UNTRACKED)) {
        if (lua_rawgetp(L, LUA_REGISTRYINDEX, object) != LUA_TNIL)
            return;
        lua_pop(L, 1);
    }
    if (!className) {
        // Nothing says what this is; a nil is safer than a classless handle.
        lua_pushnil(L);
        return;
    }
    // Built completely (class included) before the object map can see it.
    auto *h = static_cast<LuaHandle *>(lua_newuserdata(L, sizeof(LuaHandle)));
    h->object = object;
    h->flags = flags;
    h->madeAs = luaL_getmetatable(L, className) == LUA_TTABLE ? lua_topointer(L, -1) : nullptr;
    lua_setmetatable(L, -2);
    if (!(flags & HANDLE_UNTRACKED)) {
        lua_pushvalue(L, -1);
        lua_rawsetp(L, LUA_REGISTRYINDEX, object);
    }
    if (lua_getmetatable(L, -1)) {
        lua_pushliteral(L, "__init");
        const bool hasInit = lua_rawget(L, -2) != LUA_TNIL;
        lua_pop(L, 2);
        if (hasInit) {
            luaL_callmeta(L, -1, "__init");
            lua_pop(L, 1);
        }
    }
}

void luaX_pushobject(lua_State *L, void *object, const char *className)
{
    luaX_newobject(L, object, className, HANDLE_REFERENCE);
}

namespace {

// Pushes nil for a null object, or the handle the object already has, and
// returns true; pushes nothing and returns false for an object without one.
bool pushNullOrExisting(lua_State *L, QObject *object)
{
    if (!object) {
        lua_pushnil(L);
        return true;
    }
    if (lua_rawgetp(L, LUA_REGISTRYINDEX, object) != LUA_TNIL)
        return true;
    lua_pop(L, 1);
    return false;
}

} // namespace

void luaX_pushqobject(lua_State *L, QObject *object)
{
    if (pushNullOrExisting(L, object))
        return;
    for (const QMetaObject *meta = object->metaObject(); meta; meta = meta->superClass()) {
        const char *name = meta->className();
        const bool registered = luaL_getmetatable(L, name) == LUA_TTABLE;
        lua_pop(L, 1);
        if (registered) {
            luaX_pushobject(L, object, name);
            return;
        }
    }
    lua_pushnil(L);
}

namespace {

int pushQObjectUnprotected(lua_State *L)
{
    luaX_pushqobject(L, static_cast<QObject *>(lua_touserdata(L, 1)));
    return 1;
}

} // namespace

void luaX_pushqobjectsafe(lua_State *L, QObject *object)
{
    if (pushNullOrExisting(L, object))
        return;
    // A first push runs the class's __init, which a script may have replaced
    // by something that raises; native code has no caller to raise to.
    lua_pushcfunction(L, pushQObjectUnprotected);
    lua_pushlightuserdata(L, object);
    if (lua_pcall(L, 1, 1, 0) != LUA_OK) {
        luaX_reporterror(L, "__init");
        lua_pushnil(L);
    }
}

namespace {

// Inlined into every public check: a method call pays for one call frame less.
[[gnu::always_inline]] inline LuaHandle *testHandle(lua_State *L, int index, const char *className)
{
    if (lua_type(L, index) != LUA_TUSERDATA)
        return nullptr;
    ClassCache *c = classCache(L);
    if (!c)
        return testByWalking(L, index, className);
    if (!lua_getmetatable(L, index))
        return nullptr;
    const void *mt = lua_topointer(L, -1);
    lua_pop(L, 1);
    auto *h = static_cast<LuaHandle *>(lua_touserdata(L, index));
    if (h->madeAs != mt)
        return nullptr; // relabelled, or not one of our handles at all
    if (c->lastName == className && c->lastProven == mt)
        return h;
    const void *target;
    if (c->lastName == className) {
        target = c->lastTarget;
    } else {
        target = targetClass(L, c, className);
        if (!target)
            return nullptr;
        c->lastName = className;
        c->lastTarget = target;
    }
    c->lastProven = nullptr;
    if (mt == target) {
        c->lastProven = mt;
        return h;
    }
    ClassCache::ClassEntry &hit
        = c->hits[((reinterpret_cast<uintptr_t>(mt) ^ reinterpret_cast<uintptr_t>(target)) >> 4)
                  & (ClassCache::HitSlots - 1)];
    if (hit.mt == mt && hit.base == target) {
        c->lastProven = mt;
        return h;
    }
    // Bounded: a class registered as its own base must not hang the check.
    int depth = 0;
    for (const void *m = cachedBase(c, mt); m && depth < 64; m = cachedBase(c, m), ++depth) {
        if (m == target) {
            hit = {mt, target};
            c->lastProven = mt;
            return h;
        }
    }
    return nullptr;
}

} // namespace

LuaHandle *luaX_testudata(lua_State *L, int index, const char *className)
{
    return testHandle(L, index, className);
}

void *luaX_toobject(lua_State *L, int index, const char *className)
{
    LuaHandle *h = testHandle(L, index, className);
    return h ? h->object : nullptr;
}

void *luaX_toowned(lua_State *L, int index, const char *className, int mask)
{
    LuaHandle *h = testHandle(L, index, className);
    if (!h)
        return nullptr;
    if (mask && h->flags && !(h->flags & mask))
        return nullptr;
    return h->object;
}

void *luaX_checkobject(lua_State *L, int index, const char *className)
{
    LuaHandle *h = testHandle(L, index, className);
    if (!h) {
        const char *msg = lua_pushfstring(L, "%s expected, got %s", className, luaL_typename(L, index));
        luaL_argerror(L, index, msg);
    }
    if (!h->object)
        luaL_argerror(L, index, lua_pushfstring(L, "attempting to access deleted %s", className));
    return h->object;
}

int luaX_toint(lua_State *L, int index)
{
    switch (lua_type(L, index)) {
    case LUA_TBOOLEAN:
        return lua_toboolean(L, index);
    case LUA_TNIL: // the usual answer of a handler: skip both number conversions
    case LUA_TNONE:
        return 0;
    default:
        return numbers::toInt32(L, index);
    }
}

QRect luaX_torect(lua_State *L, int index)
{
    if (!lua_istable(L, index))
        return QRect();
    index = lua_absindex(L, index);
    int v[4];
    static const char *const keys[4] = {"x", "y", "w", "h"};
    for (int i = 0; i < 4; ++i) {
        lua_getfield(L, index, keys[i]);
        v[i] = numbers::low32(numbers::truncate64(lua_tonumberx(L, -1, nullptr)));
        lua_pop(L, 1);
    }
    return QRect(v[0], v[1], v[2], v[3]);
}
