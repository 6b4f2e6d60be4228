// QObject: the base script class of every Qt object a script can see.
#include "classtables.h"
#include "luax.h"
#include "tracker.h"

namespace {

// Every new handle of a QObject-derived class comes through here, so every
// Qt object a script can see is tracked and filtered from its first moment.
int lqobject_init(lua_State *L)
{
    auto *object = luaX_checkqobject<QObject>(L, 1, "QObject");
    ObjectTracker *tracker = ObjectTracker::instance(L);
    tracker->track(object);
    object->installEventFilter(tracker);
    return 0;
}

int lqobject_gc(lua_State *)
{
    return 0; // collecting a handle never deletes a Qt object
}

int lqobject_destroy(lua_State *L)
{
    luaX_checkqobject<QObject>(L, 1, "QObject")->deleteLater();
    return 0;
}

int lqobject_setName(lua_State *L)
{
    auto *object = luaX_checkqobject<QObject>(L, 1, "QObject");
    object->setObjectName(QString::fromUtf8(luaL_checkstring(L, 2)));
    return 0;
}

int lqobject_setProperty(lua_State *L)
{
    auto *object = luaX_checkqobject<QObject>(L, 1, "QObject");
    const char *name = luaL_checkstring(L, 2);
    object->setProperty(name, luaX_tovariant(L, 3));
    return 0;
}

int lqobject_property(lua_State *L)
{
    auto *object = luaX_checkqobject<QObject>(L, 1, "QObject");
    luaX_pushvariant(L, object->property(luaL_checkstring(L, 2)));
    return 1;
}

} // namespace

const luaL_Reg lqobject_methods[] = {
    {"__init", lqobject_init},
    {"__gc", lqobject_gc},
    {"destroy", lqobject_destroy},
    {"setName", lqobject_setName},
    {"setProperty", lqobject_setProperty},
    {"property", lqobject_property},
    {nullptr, nullptr},
};
