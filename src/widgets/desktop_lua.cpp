// Desktop: the usable screen area, for scripts that size their own windows.
#include "classtables.h"
#include "luax.h"

#include <QGuiApplication>
#include <QScreen>

namespace {

int ldesktop_availableGeometry(lua_State *L)
{
    // QDesktopWidget's screen -1 is the primary screen; asking QScreen
    // directly gives the same rectangle without the deprecated class.
    QRect area;
    if (QScreen *screen = QGuiApplication::primaryScreen())
        area = screen->availableGeometry();
    lua_pushinteger(L, area.x());
    lua_pushinteger(L, area.y());
    lua_pushinteger(L, area.width());
    lua_pushinteger(L, area.height());
    return 4;
}

} // namespace

const luaL_Reg ldesktop_methods[] = {
    {"availableGeometry", ldesktop_availableGeometry},
    {nullptr, nullptr},
};
