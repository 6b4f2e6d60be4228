#include "tracker.h"

#include <QCoreApplication>
#include <QDebug>
#include <QVariant>
#include <QWidget>

#include <cstdarg>
#include <climits>
#include <cstdio>
#include <utility>

static const char *const kInstanceKey = "Tracker.Instance";

// Adopted objects of closed interpreters, waiting for deleteOrphans().
static QList<QPointer<QObject>> &orphans()
{
    static QList<QPointer<QObject>> list;
    return list;
}

ObjectTracker::ObjectTracker(lua_State *L) : QObject(nullptr), state(L)
{
    luaX_pushobject(L, this, "Tracker");
    lua_setfield(L, LUA_REGISTRYINDEX, kInstanceKey);
    luaX_pushobject(L, &painter, "QPainter");
    lua_setglobal(L, "lcdCanvas");
}

ObjectTracker::~ObjectTracker()
{
    luaX_objectdeleted(state, &painter);
    for (QObject *object : qAsConst(tracked)) {
        object->setProperty("lua", QVariant());
        object->removeEventFilter(this);
    }
    // The state is mid-close here: deleting now would run destructors whose
    // signals could still reach it. They go once lua_close has returned, or
    // at the latest when the application ends.
    static bool postRoutineAdded = false;
    if (!adopted.isEmpty() && !postRoutineAdded && QCoreApplication::instance()) {
        qAddPostRoutine(deleteOrphans);
        postRoutineAdded = true;
    }
    orphans() += adopted;
}

void ObjectTracker::adopt(QObject *object)
{
    adopted.append(object);
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
    void *p = object->property("lua").value<void *>();
    ObjectTracker *tracker = p ? instance(static_cast<lua_State *>(p)) : nullptr;
    return tracker && !tracker->stopped ? tracker : nullptr;
}

void ObjectTracker::track(QObject *object)
{
    if (tracked.contains(object))
        return;
    tracked.insert(object);
    connect(object, &QObject::destroyed, this, &ObjectTracker::deleted);
    object->setProperty("lua", QVariant::fromValue(static_cast<void *>(state)));
}

void ObjectTracker::deleted(QObject *object)
{
    printf("ObjectTracker::deleted %p\n", static_cast<void *>(object));
    tracked.remove(object);
    // Already mid-destruction: a QObject still answers setProperty here.
    object->setProperty("lua", QVariant());
    disconnect(object, &QObject::destroyed, this, &ObjectTracker::deleted);
    luaX_objectdeleted(state, object);
}

void ObjectTracker::paint(QWidget *widget)
{
    painter.begin(widget);
    dispatch(widget, "onPaint", nullptr);
    if (painter.isActive())
        painter.end();
}

int ObjectTracker::vdispatch(QObject *object, const char *message, const char *format, va_list args)
{
    if (stopped)
        return 0;
    lua_State *L = state;
    const int top = lua_gettop(L);
    // The handler goes in first, so nothing has to be rotated under the call.
    lua_pushcfunction(L, luaX_tracebackhandler());
    lua_getglobal(L, "MsgHandler");
    luaX_pushqobject(L, object);
    lua_pushstring(L, message);
    int result = 0;
    if (luaX_vpcallh(L, top + 1, 2, 1, format, args, top, INT_MAX) != LUA_OK) {
        if (object)
            printf("LuaMsgHandler %s %p %s\n", message, static_cast<void *>(object), object->metaObject()->className());
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
    luaX_pushqobject(L, object); /* handle */
    if (lua_isnil(L, -1)) {
        lua_pop(L, 1);
        return 0;
    }
    lua_getfield(L, -1, name); /* handle, fn */
    if (lua_isnil(L, -1)) {
        lua_pop(L, 2);
        return 0;
    }
    lua_insert(L, -2); /* fn, handle */
    va_list args;
    va_start(args, format);
    const int status = luaX_vpcall(L, 1, 0, format, args);
    va_end(args);
    return status;
}

void luaX_objectdeleted(lua_State *L, void *object)
{
    if (!L)
        return;
    // Only handles that exist: never make a new one for a dying object.
    if (lua_rawgetp(L, LUA_REGISTRYINDEX, object) == LUA_TNIL) { /* handle */
        lua_pop(L, 1);
        return;
    }
    // The object is mid-destruction (its derived parts are gone), so the
    // handle is cleared before __deleted runs: a method called from there
    // raises "attempting to access deleted" instead of touching a half-object.
    auto *h = static_cast<LuaHandle *>(lua_touserdata(L, -1));
    if (h)
        h->object = nullptr;
    lua_pushnil(L);
    lua_rawsetp(L, LUA_REGISTRYINDEX, object);
    if (lua_getfield(L, -1, "__deleted") != LUA_TNIL) { /* handle, fn */
        lua_insert(L, -2);                               /* fn, handle */
        luaX_pcall(L, 1, 0, nullptr);
    } else {
        lua_pop(L, 2);
    }
}

static int ltracker_gc(lua_State *L)
{
    auto *tracker = static_cast<ObjectTracker *>(static_cast<QObject *>(luaX_checkobject(L, -1, "Tracker")));
    qDebug() << "ltracker_gc" << tracker;
    delete tracker;
    return 0;
}

const luaL_Reg ltracker_methods[] = {{"__gc", ltracker_gc}, {nullptr, nullptr}};
