// ElapsedTimer: a stopwatch. The handle owns a bare QElapsedTimer value.
#include "classtables.h"
#include "luax.h"

#include <QDebug>
#include <QElapsedTimer>

namespace {

QElapsedTimer *checkElapsed(lua_State *L)
{
    return static_cast<QElapsedTimer *>(luaX_checkobject(L, 1, "ElapsedTimer"));
}

int lelapsedtimer_create(lua_State *L)
{
    auto *timer = new QElapsedTimer;
    luaX_newobject(L, timer, "ElapsedTimer", HANDLE_OWNED);
    timer->start();
    qDebug() << "Clock Type" << int(QElapsedTimer::clockType());
    return 1;
}

int lelapsedtimer_start(lua_State *L)
{
    checkElapsed(L)->start();
    return 0;
}

int lelapsedtimer_elapsed(lua_State *L)
{
    QElapsedTimer *timer = checkElapsed(L);
    if (timer->isValid())
        lua_pushinteger(L, lua_Integer(timer->elapsed()));
    else
        lua_pushnil(L);
    return 1;
}

int lelapsedtimer_restart(lua_State *L)
{
    QElapsedTimer *timer = checkElapsed(L);
    // An invalid timer has no start to measure from; Qt's own arithmetic on
    // its sentinel value would return a meaningless huge number.
    if (!timer->isValid()) {
        timer->start();
        lua_pushnumber(L, 0.0);
        return 1;
    }
    const qint64 ns = timer->nsecsElapsed();
    timer->restart();
    lua_pushnumber(L, lua_Number(ns) / 1000000000.0);
    return 1;
}

int lelapsedtimer_cancel(lua_State *L)
{
    checkElapsed(L)->invalidate();
    return 0;
}

int lelapsedtimer_isActive(lua_State *L)
{
    lua_pushboolean(L, checkElapsed(L)->isValid());
    return 1;
}

int lelapsedtimer_gc(lua_State *L)
{
    return luaX_gcowned<QElapsedTimer>(L, "ElapsedTimer");
}

int lelapsedtimer_tostring(lua_State *L)
{
    QElapsedTimer *timer = checkElapsed(L);
    lua_Integer ms = 0;
    lua_Integer ns = 0;
    if (timer->isValid()) {
        ms = lua_Integer(timer->elapsed());
        ns = lua_Integer(timer->nsecsElapsed());
    }
    // Full 64-bit counts: 32 bits of nanoseconds wrap after 2.1 seconds.
    lua_pushfstring(L, "ElapsedTimer type:%d elapsed: %I ms %I ns", int(QElapsedTimer::clockType()), ms, ns);
    return 1;
}

} // namespace

const luaL_Reg lelapsedtimer_methods[] = {
    { "create", lelapsedtimer_create },
    { "start", lelapsedtimer_start },
    { "elapsed", lelapsedtimer_elapsed },
    { "restart", lelapsedtimer_restart },
    { "cancel", lelapsedtimer_cancel },
    { "isActive", lelapsedtimer_isActive },
    { "__gc", lelapsedtimer_gc },
    { "__tostring", lelapsedtimer_tostring },
    { nullptr, nullptr },
};
