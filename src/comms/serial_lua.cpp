// serial.core: serial lines for scripts at fixed settings (38400 baud, 8
// data bits, odd parity, one stop bit). Every call returns at once; arrivals
// and failures come back as the handlers onReadyRead and onError.
#include "luax.h"
#include "serial.h"
#include "serialport.h"
#include "tracker.h"

#include "serialdevice.h"

namespace {

SerialPort *checkPort(lua_State *L)
{
    return luaX_checkqobject<SerialPort>(L, 1, "SerialPort");
}

int lserial_ports(lua_State *L)
{
    const QStringList ports = serialPortNames();
    luaL_checkstack(L, ports.size(), "too many serial ports");
    for (const QString &port : ports) {
        const QByteArray name = port.toLocal8Bit();
        lua_pushlstring(L, name.constData(), size_t(name.size()));
    }
    return ports.size();
}

int lserialport_create(lua_State *L)
{
    auto *port = new SerialPort;
    ObjectTracker::instance(L)->adopt(port);
    luaX_pushobject(L, static_cast<QObject *>(port), port->metaObject()->className());
    return 1;
}

int lserialport_open(lua_State *L)
{
    SerialPort *port = checkPort(L);
    size_t len = 0;
    const char *name = luaL_checklstring(L, 2, &len);
    port->open(QString::fromUtf8(name, int(len)));
    lua_pushboolean(L, 1);
    return 1;
}

int lserialport_close(lua_State *L)
{
    checkPort(L)->close();
    return 0;
}

int lserialport_read(lua_State *L)
{
    const QByteArray data = checkPort(L)->read();
    lua_pushlstring(L, data.constData(), size_t(data.size()));
    return 1;
}

int lserialport_write(lua_State *L)
{
    SerialPort *port = checkPort(L);
    size_t len = 0;
    const char *data = luaL_checklstring(L, 2, &len);
    port->write(QByteArray(data, int(len)));
    return 0;
}

int lserialport_gc(lua_State *L)
{
    // create() hands out reference handles, so this deletes nothing: the
    // port and its thread outlive the handle's collection.
    return luaX_gcowned<QObject>(L, "SerialPort");
}

const luaL_Reg lserialport_methods[] = {
    { "create", lserialport_create },
    { "open", lserialport_open },
    { "close", lserialport_close },
    { "read", lserialport_read },
    { "write", lserialport_write },
    { "__gc", lserialport_gc },
    { nullptr, nullptr },
};

} // namespace

int luaopen_serial_core(lua_State *L)
{
    luaL_checkversion(L);
    lua_newtable(L); /* module */
    lua_pushcfunction(L, lserial_ports);
    lua_setfield(L, -2, "ports");
    luaX_createclass(L, "SerialPort", lserialport_methods, "QObject", 1, 1);
    return 1;
}
