// FDView: the screenplay view as scripts see it. Thin glue over the widget;
// the formatting and scrolling rules live in fdview.cpp.
#include "classtables.h"
#include "fdview/fdview.h"
#include "luax.h"
#include "tracker.h"
#include "numbers.h"

#include <QColor>

namespace {

FDView *checkView(lua_State *L) { return luaX_checkqobject<FDView>(L, 1, "FDView"); }

// Flags and tags from scripts never raise: anything that is not an integer
// (or a string holding one) counts as 0.
int32_t looseInt(lua_State *L, int index)
{
    return numbers::low32(static_cast<int64_t>(lua_tointegerx(L, index, nullptr)));
}

double looseNumber(lua_State *L, int index) { return lua_tonumberx(L, index, nullptr); }

int lfdview_create(lua_State *L)
{
    auto *parent = luaX_toqobject<QWidget>(L, 1, "QWidget");
    auto *view = new FDView(parent);
    luaX_pushobject(L, view, view->metaObject()->className());
    ObjectTracker::instance(L)->adopt(view);
    return 1;
}

int lfdview_clear(lua_State *L)
{
    checkView(L)->clear();
    return 0;
}

int lfdview_add(lua_State *L)
{
    FDView *view = checkView(L);
    const QString text = QString::fromUtf8(luaL_optstring(L, 2, ""));
    const QString kind = QString::fromUtf8(luaL_optstring(L, 3, ""));
    const int tag = numbers::low32(static_cast<int64_t>(luaL_optinteger(L, 4, -1)));
    view->add(text, kind, tag);
    return 0;
}

int lfdview_pagebreak(lua_State *L)
{
    checkView(L)->pagebreak();
    return 0;
}

int lfdview_setColor(lua_State *L)
{
    FDView *view = checkView(L);
    const int tag = looseInt(L, 2);
    // QColor(QRgb) drops the top byte: the colour is always opaque.
    const QColor colour(QRgb(static_cast<uint32_t>(lua_tointegerx(L, 3, nullptr))));
    view->setColor(tag, colour);
    return 0;
}

int lfdview_setVisibleForTag(lua_State *L)
{
    FDView *view = checkView(L);
    view->setVisibleForTag(looseInt(L, 2), looseInt(L, 3) != 0);
    return 0;
}

int lfdview_setEdit(lua_State *L)
{
    FDView *view = checkView(L);
    view->setReadOnly(looseInt(L, 2) == 0);
    return 0;
}

int lfdview_setFontScale(lua_State *L)
{
    FDView *view = checkView(L);
    view->setFontScale(luaL_checknumber(L, 2));
    return 0;
}

int lfdview_position(lua_State *L)
{
    lua_pushnumber(L, checkView(L)->position());
    return 1;
}

int lfdview_setPosition(lua_State *L)
{
    checkView(L)->setPosition(looseNumber(L, 2));
    return 0;
}

int lfdview_scrollTo(lua_State *L)
{
    checkView(L)->scrollTo(looseNumber(L, 2));
    return 0;
}

int lfdview_scrollStep(lua_State *L)
{
    lua_pushnumber(L, checkView(L)->scrollStep(looseNumber(L, 2)));
    return 1;
}

} // namespace

const luaL_Reg lfdview_methods[] = {
    {"create", lfdview_create},
    {"clear", lfdview_clear},
    {"add", lfdview_add},
    {"pagebreak", lfdview_pagebreak},
    {"setColor", lfdview_setColor},
    {"setVisibleForTag", lfdview_setVisibleForTag},
    {"setEdit", lfdview_setEdit},
    {"setFontScale", lfdview_setFontScale},
    {"position", lfdview_position},
    {"setPosition", lfdview_setPosition},
    {"scroll", lfdview_scrollTo},
    {"scrollTo", lfdview_scrollTo},
    {"scrollStep", lfdview_scrollStep},
    {nullptr, nullptr},
};
