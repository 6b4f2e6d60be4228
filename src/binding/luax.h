#pragma once
// The script binding's whole public surface: handles, classes, pushes and
// checks, calls into scripts, conversions. Every script class is built on
// these routines; none of them touches metatables on its own.

#include <lua.hpp>

#include <QColor>
#include <QRect>
#include <QVariant>

#include <cstdint>

class QObject;

// Ownership and tracking bits of a handle. 0 means "unknown" and passes
// every ownership test.
enum HandleFlags {
    HANDLE_OWNED = 1,     // the class's __gc deletes the object
    HANDLE_REFERENCE = 2, // owned elsewhere (every Qt object reached by the generic push)
    HANDLE_UNTRACKED = 4, // not in the object map: each push makes a new handle
    HANDLE_TRACKED = 8    // in the object map although owned
};

// The full userdata that stands for a native object. Qt objects are always
// stored (and keyed in the object map) as their QObject address, so a
// handle found through any base class names the same object.
struct LuaHandle
{
    // The class metatable the handle was made with. The class check compares
    // it with the metatable the handle carries now, so a handle given another
    // class's metatable (debug.setmetatable) is refused instead of cast. It
    // comes first: a foreign userdata given a class metatable (an io file)
    // fails on its own first word, without a read past its end.
    const void *madeAs;
    void *object; // null once the object is destroyed
    int32_t flags;
};

lua_State *luaX_newstate();

// Registers class `name` (with single inheritance from `base`, may be null).
// fields = 1 installs luaX_index/luaX_newindex (per-object script fields).
// exported = 1 stores the class into the table just below the top.
void luaX_createclass(lua_State *L, const char *name, const luaL_Reg *methods, const char *base, int fields,
                      int exported);
int luaX_index(lua_State *L);
int luaX_newindex(lua_State *L);

// Names the host reads on every event, pushed as the same interned strings
// each time (plain string pushes in a state not made by luaX_newstate).
enum LuaXKey { LUAX_KEY_INDEX, LUAX_KEY_MSGHANDLER, LUAX_KEYCOUNT };
void luaX_pushkey(lua_State *L, LuaXKey key);

// Pushes the handle of object (exactly one value). A tracked object always
// yields its one handle, whatever class name is asked for.
void luaX_newobject(lua_State *L, void *object, const char *className, int flags);
void luaX_pushobject(lua_State *L, void *object, const char *className);
// Pushes a Qt object under its own dynamic class (nil for null). An object
// whose exact class is not registered is pushed under its nearest registered
// ancestor class.
void luaX_pushqobject(lua_State *L, QObject *object);

LuaHandle *luaX_testudata(lua_State *L, int index, const char *className);
void *luaX_toobject(lua_State *L, int index, const char *className);
void *luaX_toowned(lua_State *L, int index, const char *className, int mask);
void *luaX_checkobject(lua_State *L, int index, const char *className);

// Typed access to Qt objects, which handles store as QObject pointers.
template <class T>
inline T *luaX_checkqobject(lua_State *L, int index, const char *className)
{
    return static_cast<T *>(static_cast<QObject *>(luaX_checkobject(L, index, className)));
}
template <class T>
inline T *luaX_toqobject(lua_State *L, int index, const char *className)
{
    return static_cast<T *>(static_cast<QObject *>(luaX_toobject(L, index, className)));
}

// The one end of a handle's life, whatever ends it (the object's
// destruction, a finalizer, the collector, a finalizer called by hand): the
// handle is cleared, so every later use raises "attempting to access
// deleted"; its object-map entry goes, so a new object at the same address
// gets a new handle; then "__deleted" runs, once, under protection (an error
// there is fatal). A handle that is already dead is left alone.
void luaX_endhandle(lua_State *L, int index);
// The same, found through the object map; nothing happens for an object
// without a handle.
void luaX_objectdeleted(lua_State *L, void *object);

// The finalizer of a class whose handles may own their object: when this
// handle owns it, the handle's life ends and then the object is deleted, so
// that a finalizer called by hand through the class table leaves a dead
// handle, not a dangling one.
template <class T>
inline int luaX_gcowned(lua_State *L, const char *className)
{
    if (T *object = static_cast<T *>(luaX_toowned(L, 1, className, HANDLE_OWNED))) {
        luaX_endhandle(L, 1);
        delete object;
    }
    return 0;
}

int luaX_toint(lua_State *L, int index);
QRect luaX_torect(lua_State *L, int index);

// Protected call of the function below the nargs arguments on top of the
// stack, with more arguments taken from format ("%d %f %s %i %o", "%r" and
// "%0".."%9" set extra results). A null format, or one containing "!", makes
// a failure fatal (exit status 1).
int luaX_pcall(lua_State *L, int nargs, int nresults, const char *format, ...);
int luaX_vpcall(lua_State *L, int nargs, int nresults, const char *format, va_list args);
// The same with the traceback handler (luaX_tracebackhandler) already on the
// stack at index handler, below the function; the handler is left in place.
int luaX_vpcallh(lua_State *L, int handler, int nargs, int nresults, const char *format, va_list args, int callerTop,
                 int shiftFrom);
lua_CFunction luaX_tracebackhandler();
int luaX_dostring(lua_State *L, const char *chunk, const char *format, ...);
// Prints the error value on top (its string form, made under protection:
// a value whose __tostring raises or returns no string is reported as Lua's
// own interpreter does, "(error object is a %s value)") and pops it.
void luaX_reporterror(lua_State *L, const char *context);
// Pushes that string form of the value at index.
void luaX_pusherrortext(lua_State *L, int index);
// Calls the global MsgHandler with the arguments on the stack, looked up
// inside the call, so that a protected call of this function protects the
// lookup too (a "strict" _G raises for a name it does not have).
int luaX_callmsghandler(lua_State *L);
// Pushes the handle object already has, or makes one under its dynamic
// class as luaX_pushqobject does, with the class's __init under protection;
// pushes nil when that fails. For native code that is not inside a call
// from a script.
void luaX_pushqobjectsafe(lua_State *L, QObject *object);

// Calls the function stored under name on object's handle (method style).
// Returns the call status, or 0 when the field is nil. The lookup runs under
// the same protection as the call: a class whose __index raises is a script
// error like any other.
int luaX_callmethod(lua_State *L, QObject *object, const char *name, const char *format, ...);

QVariant luaX_tovariant(lua_State *L, int index);
void luaX_pushvariant(lua_State *L, const QVariant &value);
QColor luaX_tocolor(lua_State *L, int index, const char *defaultName);

int luaopen_qt_core(lua_State *L);
