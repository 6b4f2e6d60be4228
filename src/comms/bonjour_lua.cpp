// bonjour.core: machineID() and the script class Bonjour. Every method
// returns at once; what the network answers arrives as handler dispatches
// (onServiceAdded, onServiceRemoved, onResolved, onLookup) and debug lines.
#include "bonjour.h"
#include "luax.h"
#include "numbers.h"
#include "tracker.h"

#include <cstdio>

namespace {

Bonjour *checkBonjour(lua_State *L)
{
    return luaX_checkqobject<Bonjour>(L, 1, "Bonjour");
}

QString checkText(lua_State *L, int index)
{
    size_t len = 0;
    const char *s = luaL_checklstring(L, index, &len);
    return QString::fromUtf8(s, int(len));
}

int lbonjour_machineID(lua_State *L)
{
    const QByteArray id = machineID().toLocal8Bit();
    lua_pushlstring(L, id.constData(), size_t(id.size()));
    return 1;
}

int lbonjour_create(lua_State *L)
{
    auto *bonjour = new Bonjour;
    ObjectTracker::instance(L)->adopt(bonjour);
    luaX_pushobject(L, static_cast<QObject *>(bonjour), bonjour->metaObject()->className());
    return 1;
}

int lbonjour_publish(lua_State *L)
{
    Bonjour *bonjour = checkBonjour(L);
    const QString type = checkText(L, 2);
    const QString name = checkText(L, 3);
    // A port keeps its low 16 bits: 70000 announces 4464.
    const quint16 port = numbers::low16(numbers::checkInt64(L, 4));
    bonjour->publish(type, name, port);
    return 0;
}

int lbonjour_subscribe(lua_State *L)
{
    Bonjour *bonjour = checkBonjour(L);
    bonjour->subscribe(checkText(L, 2));
    return 0;
}

int lbonjour_resolve(lua_State *L)
{
    Bonjour *bonjour = checkBonjour(L);
    const QString type = checkText(L, 2);
    const QString name = checkText(L, 3);
    size_t len = 0;
    const char *domain = luaL_optlstring(L, 4, "local.", &len);
    bonjour->resolve(type, name, QString::fromUtf8(domain, int(len)));
    return 0;
}

int lbonjour_gc(lua_State *L)
{
    // create() hands out reference handles: the pointer is null and the
    // object lives on until destroy().
    QObject *object = static_cast<QObject *>(luaX_toowned(L, 1, "Bonjour", HANDLE_OWNED));
    printf("bonjour::l_gc %p\n", static_cast<void *>(object));
    return luaX_gcowned<QObject>(L, "Bonjour");
}

const luaL_Reg lbonjour_methods[] = {
    { "create", lbonjour_create },
    { "publish", lbonjour_publish },
    { "subscribe", lbonjour_subscribe },
    { "resolve", lbonjour_resolve },
    { "__gc", lbonjour_gc },
    { nullptr, nullptr },
};

} // namespace

int luaopen_bonjour_core(lua_State *L)
{
    luaL_checkversion(L);
    lua_newtable(L);
    lua_pushcfunction(L, lbonjour_machineID);
    lua_setfield(L, -2, "machineID");
    luaX_createclass(L, "Bonjour", lbonjour_methods, "QObject", 0, 1);
    return 1;
}
