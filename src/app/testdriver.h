#pragma once
// Testing an application module from the inside. ORVANE_DRIVER names a Lua
// file that runs as a coroutine in the application's own interpreter once the
// window is up, with the "orvane.test" library: it finds widgets by object
// name, sends them real Qt input, waits without blocking the event loop and
// counts checks. ORVANE_RECORD names a file into which every input event that
// reaches a script widget is written as such a driver, so a session replays.

#include <lua.hpp>

#include <QByteArray>

class QObject;
class QWidget;

namespace orvane {

// Called once the main window is shown; without either variable it does
// nothing at all.
void startTestTools(lua_State *L, QWidget *mainWindow);

// "orvane.test" (preloaded only while a driver runs).
int luaopen_orvane_test(lua_State *L);

// How a recording names an object: its object name, or else the path of
// parents from the nearest named ancestor ("page.x/QLineEdit:1"). find
// resolves both forms; unnamed is set when a path was needed.
QByteArray recordedName(QObject *object, bool *unnamed = nullptr);
QObject *findRecorded(QWidget *mainWindow, const QByteArray &name);

} // namespace orvane
