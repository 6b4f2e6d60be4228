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

// setTxt{key = value, ...}: strings and numbers are values, true a key on
// its own, false leaves the key out. Keys are printable ASCII without "="
// and each key=value entry fits the 255 bytes DNS gives it. Everything is
// checked before the record is replaced.
int lbonjour_setTxt(lua_State *L)
{
    Bonjour *bonjour = checkBonjour(L);
    luaL_checktype(L, 2, LUA_TTABLE);
    QMap<QString, QByteArray> txt;
    lua_pushnil(L); /* table, nil */
    while (lua_next(L, 2)) { /* table, key, value */
        if (lua_type(L, -2) != LUA_TSTRING)
            return luaL_argerror(L, 2, "TXT keys must be strings");
        size_t keyLen = 0;
        const char *key = lua_tolstring(L, -2, &keyLen);
        bool printable = keyLen > 0 && keyLen < 255;
        for (size_t i = 0; i < keyLen && printable; ++i)
            printable = key[i] >= 0x20 && key[i] <= 0x7e && key[i] != '=';
        if (!printable)
            return luaL_argerror(
                L, 2, lua_pushfstring(L, "TXT key '%s' must be 1 to 254 printable ASCII characters without '='", key));
        QByteArray value;
        const int type = lua_type(L, -1);
        if (type == LUA_TSTRING || type == LUA_TNUMBER) {
            size_t len = 0;
            // A copy: converting the table's own number in place would
            // confuse lua_next.
            lua_pushvalue(L, -1);
            const char *v = lua_tolstring(L, -1, &len);
            if (keyLen + 1 + len > 255)
                return luaL_argerror(L, 2, lua_pushfstring(L, "TXT entry '%s' is longer than 255 bytes", key));
            value = QByteArray(v, int(len));
            lua_pop(L, 1);
        } else if (type == LUA_TBOOLEAN) {
            if (!lua_toboolean(L, -1)) {
                lua_pop(L, 1);
                continue;
            }
        } else {
            return luaL_argerror(
                L, 2, lua_pushfstring(L, "TXT value of '%s' must be a string, number or boolean", key));
        }
        txt.insert(QString::fromLatin1(key, int(keyLen)), value);
        lua_pop(L, 1); /* table, key */
    }
    bonjour->setTxt(txt);
    return 0;
}

// The TXT record of the service resolved last as a table: a key alone is
// true, every other value a string of its bytes.
int lbonjour_txt(lua_State *L)
{
    const QMap<QString, QByteArray> txt = checkBonjour(L)->txt();
    lua_createtable(L, 0, txt.size());
    for (auto it = txt.constBegin(); it != txt.constEnd(); ++it) {
        const QByteArray key = it.key().toLocal8Bit();
        lua_pushlstring(L, key.constData(), size_t(key.size()));
        if (it.value().isNull())
            lua_pushboolean(L, 1);
        else
            lua_pushlstring(L, it.value().constData(), size_t(it.value().size()));
        lua_rawset(L, -3);
    }
    return 1;
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
    { "setTxt", lbonjour_setTxt },
    { "txt", lbonjour_txt },
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
