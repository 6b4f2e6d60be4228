#include "tracker.h"

#include <QCoreApplication>
#include <QDebug>
#include <QHash>
#include <QVariant>
#include <QWidget>

#include <cstdarg>
#include <climits>
#include <cstdio>
#include <cstring>
#include <utility>

static const char *const kInstanceKey = "Tracker.Instance";

// Which tracker watches each object, for forObject(): every signal and event
// on its way to a script asks, so this is a hash lookup rather than a
// dynamic-property search and a registry read. It follows the "lua"
// property exactly (set by track, cleared by deleted and the destructor);
// the property stays for code that only wants to know whether an object
// belongs to a script. Main thread only, as every tracker is.
static QHash<const QObject *, ObjectTracker *> &trackerOf()
{
    static QHash<const QObject *, ObjectTracker *> map;
    return map;
}

// Adopted objects of closed interpreters, waiting for deleteOrphans().
static QList<QPointer<QObject>> &orphans()
{
    static QList<QPointer<QObject>> list;
    return list;
}

ObjectTracker::ObjectTracker(lua_State *L) : QObject(nullptr), state(L)
{
    registerHandle();
    luaX_pushobject(L, &painter, "QPainter");
    lua_setglobal(L, "lcdCanvas");
}

void ObjectTracker::registerHandle()
{
    luaX_pushobject(state, this, "Tracker");
    lua_setfield(state, LUA_REGISTRYINDEX, kInstanceKey);
}

ObjectTracker::~ObjectTracker()
{
    lua_State *L = state;
    luaX_objectdeleted(L, &painter);
    // What we still watch outlives us: at the interpreter's close, or when a
    // script had this tracker collected early through the debug library.
    // Nothing would clear those handles when their objects go later, so they
    // are released now (dead handles, no "__deleted": nothing was destroyed),
    // and whatever such a handle owned (a Timer) goes with it.
    const QSet<QObject *> watched = std::exchange(tracked, {});
    QList<QObject *> owned;
    for (QObject *object : watched) {
        disconnect(object, &QObject::destroyed, this, &ObjectTracker::deleted);
        object->setProperty("lua", QVariant());
        trackerOf().remove(object);
        object->removeEventFilter(this);
        if (lua_rawgetp(L, LUA_REGISTRYINDEX, object) == LUA_TUSERDATA) { /* handle */
            auto *h = static_cast<LuaHandle *>(lua_touserdata(L, -1));
            if (h->object == object) {
                h->object = nullptr;
                if (h->flags & HANDLE_OWNED)
                    owned.append(object);
            }
            lua_pushnil(L);
            lua_rawsetp(L, LUA_REGISTRYINDEX, object);
        }
        lua_pop(L, 1);
    }
    qDeleteAll(owned);
    // The state is mid-close here: deleting now would run destructors whose
    // signals could still reach it. They go once lua_close has returned, or
    // at the latest when the application ends.
    static bool postRoutineAdded = false;
    if (!adopted.isEmpty() && !postRoutineAdded && QCoreApplication::instance()) {
        qAddPostRoutine(deleteOrphans);
        postRoutineAdded = true;
    }
    for (QObject *object : qAsConst(adopted))
        orphans().append(object);
}

void ObjectTracker::adopt(QObject *object)
{
    // Tracked, so that its deletion takes it off the list: a script that
    // makes and destroys widgets all day must not grow it.
    track(object);
    adopted.insert(object);
}

void ObjectTracker::deleteOrphans()
{
    const QList<QPointer<QObject>> list = std::exchange(orphans(), {});
    for (const QPointer<QObject> &object : list) {
        // Deleted meanwhile, or given a parent that owns it now.
        if (object && !object->parent())
            delete object.data();
    }
}

ObjectTracker *ObjectTracker::instance(lua_State *L)
{
    if (!L)
        return nullptr;
    lua_getfield(L, LUA_REGISTRYINDEX, kInstanceKey);
    auto *tracker = static_cast<ObjectTracker *>(static_cast<QObject *>(luaX_toobject(L, -1, "Tracker")));
    lua_pop(L, 1);
    if (tracker)
        return tracker;
    return new ObjectTracker(L);
}

ObjectTracker *ObjectTracker::forObject(QObject *object)
{
    if (!object)
        return nullptr;
    ObjectTracker *tracker = trackerOf().value(object, nullptr);
    return tracker && !tracker->stopped ? tracker : nullptr;
}

void ObjectTracker::track(QObject *object)
{
    if (tracked.contains(object))
        return;
    tracked.insert(object);
    connect(object, &QObject::destroyed, this, &ObjectTracker::deleted);
    object->setProperty("lua", QVariant::fromValue(static_cast<void *>(state)));
    trackerOf().insert(object, this);
}

void ObjectTracker::deleted(QObject *object)
{
    printf("ObjectTracker::deleted %p\n", static_cast<void *>(object));
    tracked.remove(object);
    adopted.remove(object);
    // Already mid-destruction: a QObject still answers setProperty here, but
    // the property change is an event, and the filter must not see a dying
    // object (a guard made on it now outlives its reference count).
    object->removeEventFilter(this);
    object->setProperty("lua", QVariant());
    trackerOf().remove(object);
    disconnect(object, &QObject::destroyed, this, &ObjectTracker::deleted);
    luaX_objectdeleted(state, object);
}

void ObjectTracker::paint(QWidget *widget)
{
    // The handler may take the tracker with it (its finalizer run early
    // through the debug library): its painter is then gone too.
    QPointer<ObjectTracker> self(this);
    painting.append(widget);
    painter.begin(widget);
    dispatch(widget, "onPaint", nullptr);
    if (!self)
        return;
    painting.removeLast();
    if (painter.isActive())
        painter.end();
}

int luaX_callmsghandler(lua_State *L)
{
    lua_getglobal(L, "MsgHandler");
    lua_insert(L, 1);
    lua_call(L, lua_gettop(L) - 1, LUA_MULTRET);
    return lua_gettop(L);
}

namespace {

// handle, name, arguments...: the method lookup (which may run a script's
// __index) and the call, both under the caller's protection.
int callMethodUnprotected(lua_State *L)
{
    if (lua_getfield(L, 1, lua_tostring(L, 2)) == LUA_TNIL) /* handle, name, args..., fn */
        return 0;
    lua_replace(L, 2);    /* handle, fn, args... */
    lua_pushvalue(L, 1);  /* handle, fn, args..., handle */
    lua_copy(L, 2, 1);    /* fn, fn, args..., handle */
    lua_copy(L, -1, 2);   /* fn, handle, args..., handle */
    lua_pop(L, 1);
    lua_call(L, lua_gettop(L) - 1, 0);
    return 0;
}

// Pushes the handle's field table and the function handle (at index) keeps
// there under name, and returns true, when the handle's class reads fields
// through luaX_index; pushes nothing and returns false otherwise. The field
// table stays so that the caller can reuse its slot instead of rotating.
bool ownFieldFunction(lua_State *L, int index, const char *name)
{
    if (!lua_getmetatable(L, index))
        return false;
    luaX_pushkey(L, LUAX_KEY_INDEX);
    const bool fielded = lua_rawget(L, -2) == LUA_TFUNCTION && lua_tocfunction(L, -1) == luaX_index;
    lua_pop(L, 2);
    if (!fielded)
        return false;
    if (lua_getuservalue(L, index) != LUA_TTABLE) {
        lua_pop(L, 1);
        return false;
    }
    lua_pushstring(L, name);
    if (lua_rawget(L, -2) == LUA_TFUNCTION) /* uv, fn */
        return true;
    lua_pop(L, 2);
    return false;
}

} // namespace

int ObjectTracker::vdispatch(QObject *object, const char *message, const char *format, va_list args)
{
    if (stopped)
        return 0;
    lua_State *L = state;
    const int top = lua_gettop(L);
    // The handler may destroy the object (a dialog's exec deletes it on the
    // spot): what the error line names is taken now, and nothing after the
    // call touches the object.
    const QMetaObject *meta = object ? object->metaObject() : nullptr;
    // The handler goes in first, so nothing has to be rotated under the call.
    lua_pushcfunction(L, luaX_tracebackhandler());
    lua_rawgeti(L, LUA_REGISTRYINDEX, LUA_RIDX_GLOBALS); /* handler, _G */
    // A metatable on _G (a "strict" module, say) may raise on the lookup,
    // and a script may have replaced _G in the registry by anything at all.
    bool plain = lua_type(L, -1) == LUA_TTABLE;
    if (plain && lua_getmetatable(L, -1)) {
        lua_pop(L, 1);
        plain = false;
    }
    if (!plain) {
        lua_pushcfunction(L, luaX_callmsghandler);
    } else {
        luaX_pushkey(L, LUAX_KEY_MSGHANDLER);
        lua_rawget(L, -2); // no metatable, so the same as a plain read
    }
    // handler, _G, function: _G stays below the call (it is only in the
    // way, never passed), which saves moving the function down on every
    // dispatch; the settop after the call takes both.
    luaX_pushqobjectsafe(L, object);
    lua_pushstring(L, message);
    int result = 0;
    if (luaX_vpcallh(L, top + 1, 2, 1, format, args, top, INT_MAX) != LUA_OK) {
        if (object)
            printf("LuaMsgHandler %s %p %s\n", message, static_cast<void *>(object), meta->className());
        luaX_reporterror(L, "LuaMsgHandler");
    } else {
        result = luaX_toint(L, -1);
    }
    lua_settop(L, top);
    return result;
}

int ObjectTracker::dispatch(QObject *object, const char *message, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    const int result = vdispatch(object, message, format, args);
    va_end(args);
    return result;
}

// Method call on a handle: its field lookup follows per-object fields and the
// class chain exactly as a script expression would.
int luaX_callmethod(lua_State *L, QObject *object, const char *name, const char *format, ...)
{
    luaX_pushqobjectsafe(L, object); /* handle */
    if (lua_isnil(L, -1)) {
        lua_pop(L, 1);
        return 0;
    }
    // A function in the handle's own fields (a Timer's onTimeout) is found
    // with raw reads that cannot raise, exactly as luaX_index would find it:
    // it is called at once, without a protected lookup around the call.
    // "%i" indexes count from the caller's stack, so they take the long way.
    if (!format || !strstr(format, "%i")) {
        const int top = lua_gettop(L) - 1;
        if (ownFieldFunction(L, top + 1, name)) { /* handle, uv, fn */
            lua_pushcfunction(L, luaX_tracebackhandler());
            lua_replace(L, top + 2);
            lua_pushvalue(L, top + 1); /* handle, handler, fn, handle */
            va_list args;
            va_start(args, format);
            const int status = luaX_vpcallh(L, top + 2, 1, 0, format, args, lua_gettop(L), INT_MAX);
            va_end(args);
            if (status == LUA_OK) {
                lua_settop(L, top);
            } else {
                lua_replace(L, top + 1); /* error, handler */
                lua_settop(L, top + 1);
            }
            return status;
        }
    }
    lua_pushcfunction(L, callMethodUnprotected);
    lua_insert(L, -2);        /* call, handle */
    lua_pushstring(L, name);  /* call, handle, name */
    va_list args;
    va_start(args, format);
    const int status = luaX_vpcall(L, 2, 0, format, args);
    va_end(args);
    return status;
}

void luaX_endhandle(lua_State *L, int index)
{
    if (!L)
        return;
    index = lua_absindex(L, index);
    auto *h = static_cast<LuaHandle *>(lua_touserdata(L, index));
    if (!h || !h->object)
        return;
    void *object = h->object;
    // The object is mid-destruction (its derived parts are gone), so the
    // handle is cleared before __deleted runs: a method called from there
    // raises "attempting to access deleted" instead of touching a half-object.
    h->object = nullptr;
    if (lua_rawgetp(L, LUA_REGISTRYINDEX, object) == LUA_TUSERDATA && lua_touserdata(L, -1) == h) {
        lua_pushnil(L);
        lua_rawsetp(L, LUA_REGISTRYINDEX, object);
    }
    lua_pop(L, 1);
    lua_pushcfunction(L, callMethodUnprotected);
    lua_pushvalue(L, index);
    lua_pushliteral(L, "__deleted"); /* call, handle, "__deleted" */
    luaX_pcall(L, 2, 0, nullptr);
}

void luaX_objectdeleted(lua_State *L, void *object)
{
    if (!L)
        return;
    // Only handles that exist: never make a new one for a dying object.
    if (lua_rawgetp(L, LUA_REGISTRYINDEX, object) == LUA_TUSERDATA) { /* handle */
        if (static_cast<LuaHandle *>(lua_touserdata(L, -1))->object == object) {
            luaX_endhandle(L, -1);
        } else {
            // Not a handle of this object (an entry rewritten through the
            // debug library): forgotten, never written through.
            lua_pushnil(L);
            lua_rawsetp(L, LUA_REGISTRYINDEX, object);
        }
    }
    lua_pop(L, 1);
}

static int ltracker_gc(lua_State *L)
{
    auto *tracker = static_cast<ObjectTracker *>(static_cast<QObject *>(luaX_toobject(L, 1, "Tracker")));
    if (!tracker)
        return 0;
    qDebug() << "ltracker_gc" << tracker;
    luaX_endhandle(L, 1);
    // The collector stops itself while it runs a finalizer; running, it did
    // not call this one: a script did, by hand. Its handle is dead now, as
    // with any finalizer called by hand, but the interpreter still needs its
    // tracker, which stays and gets a new handle.
    if (lua_gc(L, LUA_GCISRUNNING, 0)) {
        tracker->registerHandle();
        return 0;
    }
    delete tracker;
    return 0;
}

const luaL_Reg ltracker_methods[] = {{"__gc", ltracker_gc}, {nullptr, nullptr}};
