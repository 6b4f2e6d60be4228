// Conversions more than one class needs: variants both ways and colours.
#include "luax.h"
#include "numbers.h"

namespace {

// The 28 colour names, in the order luaL_checkoption sees them.
const char *const kColorNames[] = {"off", "on", "white", "black", "darkGray", "darkgray", "gray",
                                   "lightgray", "lightblue", "red", "green", "blue", "cyan", "magenta",
                                   "yellow", "darkRed", "darkGreen", "darkBlue", "darkCyan", "darkMagenta",
                                   "darkYellow", "transparent", "purple", "violet", "brown", "orange",
                                   "darkgreen", "gold", nullptr};

struct ColorTable
{
    QColor colors[28];
    ColorTable()
    {
        const QColor values[28] = {
            QColor(Qt::white),  QColor(Qt::black),       QColor(Qt::white),      QColor(Qt::black),
            QColor(Qt::darkGray), QColor(Qt::darkGray),  QColor(Qt::gray),       QColor(Qt::lightGray),
            QColor("lightSteelBlue"), QColor(Qt::red),   QColor(Qt::green),      QColor(Qt::blue),
            QColor(Qt::cyan),   QColor(Qt::magenta),     QColor(Qt::yellow),     QColor(Qt::darkRed),
            QColor(Qt::darkGreen), QColor(Qt::darkBlue), QColor(Qt::darkCyan),   QColor(Qt::darkMagenta),
            QColor(Qt::darkYellow), QColor(Qt::transparent), QColor("purple"),   QColor("violet"),
            QColor("brown"),    QColor("orange"),        QColor("darkGreen"),    QColor("gold")};
        for (int i = 0; i < 28; ++i)
            colors[i] = values[i];
    }
};

// Built at program start-up, before the first use.
const ColorTable colorTable;

} // namespace

QColor luaX_tocolor(lua_State *L, int index, const char *defaultName)
{
    if (lua_isnumber(L, index)) {
        const uint32_t v = static_cast<uint32_t>(numbers::toInt64(L, index));
        return QColor((v >> 16) & 0xff, (v >> 8) & 0xff, v & 0xff, 255 - int(v >> 24));
    }
    return colorTable.colors[luaL_checkoption(L, index, defaultName, kColorNames)];
}

QVariant luaX_tovariant(lua_State *L, int index)
{
    if (lua_type(L, index) == LUA_TNUMBER) {
        // Converted on a copy: lua_tostring would turn the caller's number into a string.
        lua_pushvalue(L, index);
        const QVariant v(QString::fromUtf8(lua_tostring(L, -1)));
        lua_pop(L, 1);
        return v;
    }
    if (lua_isstring(L, index))
        return QVariant(QString::fromUtf8(lua_tostring(L, index)));
    switch (lua_type(L, index)) {
    case LUA_TBOOLEAN:
        return QVariant(lua_toboolean(L, index) ? 1 : 0);
    case LUA_TNIL:
    case LUA_TNONE:
        return QVariant();
    default:
        return QVariant(lua_tonumberx(L, index, nullptr));
    }
}

void luaX_pushvariant(lua_State *L, const QVariant &value)
{
    switch (value.userType()) {
    case QMetaType::Bool:
        lua_pushboolean(L, value.toBool());
        break;
    case QMetaType::Int:
        lua_pushinteger(L, value.toInt());
        break;
    case QMetaType::Double:
        lua_pushnumber(L, value.toDouble());
        break;
    case QMetaType::QString:
    {
        const QByteArray text = value.toString().toLocal8Bit();
        lua_pushlstring(L, text.constData(), size_t(text.size()));
    }
        break;
    default:
        lua_pushnil(L);
        break;
    }
}
