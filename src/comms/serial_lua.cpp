// serial.core: serial lines for scripts, opened at 38400 baud, 8 data bits,
// odd parity, one stop bit unless the script sets another line. Every call
// returns at once; arrivals and failures come back as the handlers
// onReadyRead and onError.
#include "luax.h"
#include "numbers.h"
#include "serial.h"
#include "serialport.h"
#include "tracker.h"

#include "serialdevice.h"

#include <cstring>

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

// The value of the name at index (names is null-terminated, values runs
// beside it); nil or nothing keeps current. The error lists the names.
template <class Enum>
Enum checkName(lua_State *L, int index, const char *const names[], const Enum values[], Enum current,
    const char *what)
{
    if (lua_isnoneornil(L, index))
        return current;
    const char *given = luaL_checkstring(L, index);
    for (int i = 0; names[i]; ++i) {
        if (!strcmp(names[i], given))
            return values[i];
    }
    luaL_argerror(L, index, lua_pushfstring(L, "%s expected, got '%s'", what, given));
    return current; // not reached: the error unwinds
}

const char *const parityNames[] = { "none", "even", "odd", "mark", "space", nullptr };
const SerialDevice::Parity parityValues[] = { SerialDevice::NoParity, SerialDevice::EvenParity,
    SerialDevice::OddParity, SerialDevice::MarkParity, SerialDevice::SpaceParity };
const char *const flowNames[] = { "none", "hardware", "software", nullptr };
const SerialDevice::FlowControl flowValues[] = { SerialDevice::NoFlowControl, SerialDevice::HardwareControl,
    SerialDevice::SoftwareControl };

template <class Enum>
const char *nameOf(const char *const names[], const Enum values[], Enum value)
{
    for (int i = 0; names[i]; ++i) {
        if (values[i] == value)
            return names[i];
    }
    return "unknown";
}

// setLine(baud, dataBits, parity, stopBits, flow): each argument may be nil
// to keep what is set. Everything is checked before anything changes, so a
// refused argument leaves the line as it was.
int lserialport_setLine(lua_State *L)
{
    SerialPort *port = checkPort(L);
    SerialLine line = port->line();
    if (!lua_isnoneornil(L, 2)) {
        const int64_t baud = numbers::checkInt64(L, 2);
        luaL_argcheck(L, baud > 0 && baud <= INT32_MAX, 2, "baud rate must be a positive integer");
        line.baudRate = qint32(baud);
    }
    if (!lua_isnoneornil(L, 3)) {
        const int64_t bits = numbers::checkInt64(L, 3);
        luaL_argcheck(L, bits >= 5 && bits <= 8, 3, "data bits must be 5, 6, 7 or 8");
        line.dataBits = SerialDevice::DataBits(bits);
    }
    line.parity = checkName(L, 4, parityNames, parityValues, line.parity,
        "\"none\", \"even\", \"odd\", \"mark\" or \"space\"");
    if (!lua_isnoneornil(L, 5)) {
        const lua_Number stop = luaL_checknumber(L, 5);
        if (stop == 1)
            line.stopBits = SerialDevice::OneStop;
        else if (stop == 2)
            line.stopBits = SerialDevice::TwoStop;
#ifdef Q_OS_WIN
        else if (stop == 1.5)
            line.stopBits = SerialDevice::OneAndHalfStop;
        else
            return luaL_argerror(L, 5, "stop bits must be 1, 1.5 or 2");
#else
        // Qt has 1.5 stop bits on Windows only; termios cannot say it.
        else if (stop == 1.5)
            return luaL_argerror(L, 5, "1.5 stop bits are not supported on this system");
        else
            return luaL_argerror(L, 5, "stop bits must be 1 or 2");
#endif
    }
    line.flowControl = checkName(L, 6, flowNames, flowValues, line.flowControl,
        "\"none\", \"hardware\" or \"software\"");
    port->setLine(line);
    return 0;
}

// The settings setLine was last given (the fixed line before), in its
// argument order, so that port:setLine(port:line()) changes nothing.
int lserialport_line(lua_State *L)
{
    const SerialLine &line = checkPort(L)->line();
    lua_pushinteger(L, line.baudRate);
    lua_pushinteger(L, line.dataBits);
    lua_pushstring(L, nameOf(parityNames, parityValues, line.parity));
    if (line.stopBits == SerialDevice::OneAndHalfStop)
        lua_pushnumber(L, 1.5);
    else
        lua_pushinteger(L, line.stopBits == SerialDevice::TwoStop ? 2 : 1);
    lua_pushstring(L, nameOf(flowNames, flowValues, line.flowControl));
    return 5;
}

int lserialport_errorString(lua_State *L)
{
    const QByteArray text = checkPort(L)->errorString().toLocal8Bit();
    lua_pushlstring(L, text.constData(), size_t(text.size()));
    return 1;
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
    { "setLine", lserialport_setLine },
    { "line", lserialport_line },
    { "errorString", lserialport_errorString },
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
