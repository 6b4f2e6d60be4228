#pragma once
// The serial.core module: ports() and the script class SerialPort.
#include <lua.hpp>

int luaopen_serial_core(lua_State *L);
