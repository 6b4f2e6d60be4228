// Timer: event-loop timers whose expiries call the handle's onTimeout field.
#include "classtables.h"
#include "luax.h"
#include "numbers.h"
#include "timer.h"

#include <QTimer>

namespace {

QTimer *checkTimer(lua_State *L)
{
    return luaX_checkqobject<Timer>(L, 1, "Timer")->timer;
}

int ltimer_create(lua_State *L)
{
    auto *timer = new Timer;
    // Owned and tracked: the object map keeps the handle (and so the timer)
    // alive while it runs, even when the script drops every reference.
    luaX_newobject(L, static_cast<QObject *>(timer), "Timer", HANDLE_OWNED | HANDLE_TRACKED);
    return 1;
}

int ltimer_start(lua_State *L)
{
    checkTimer(L)->start();
    return 0;
}

int ltimer_stop(lua_State *L)
{
    checkTimer(L)->stop();
    return 0;
}

int ltimer_setTimeout(lua_State *L)
{
    QTimer *timer = checkTimer(L);
    // QTimer takes an int: a wider number keeps its low 32 bits.
    timer->setInterval(numbers::checkInteger32(L, 2));
    return 0;
}

int ltimer_setSingleShot(lua_State *L)
{
    QTimer *timer = checkTimer(L);
    // No argument at all means "yes"; an explicit nil means "no".
    timer->setSingleShot(lua_isnone(L, 2) || lua_toboolean(L, 2));
    return 0;
}

int ltimer_gc(lua_State *L)
{
    // Nothing to delete when the Timer was destroyed first (its handle is
    // dead then).
    return luaX_gcowned<QObject>(L, "Timer");
}

} // namespace

const luaL_Reg ltimer_methods[] = {
    { "create", ltimer_create },
    { "start", ltimer_start },
    { "stop", ltimer_stop },
    { "setTimeout", ltimer_setTimeout },
    { "setSingleShot", ltimer_setSingleShot },
    { "__gc", ltimer_gc },
    { nullptr, nullptr },
};
