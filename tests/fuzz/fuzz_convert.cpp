// libFuzzer target: the readers that turn script values into Qt values:
// colours (luaX_tocolor), variants (luaX_tovariant) and font attributes
// (QFont:setFont). The input is split at NUL bytes into up to eight values;
// a value's first byte picks its Lua type: 'n' a number read from the rest,
// 'b' a boolean, 'z' nil, anything else the whole piece as a string.
#include "fuzzsandbox.h"
#include "luax.h"

#include <QApplication>
#include <QByteArray>
#include <QList>
#include <QVariant>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

lua_State *L;
fuzzsandbox::Budget budget;

int readColor(lua_State *L)
{
    const QColor c = luaX_tocolor(L, 1, nullptr);
    lua_pushinteger(L, lua_Integer(c.rgba()));
    return 1;
}

// qt.QFont.create():setFont(...) with the given values.
int setFontWith(lua_State *L)
{
    const int n = lua_gettop(L);
    lua_getglobal(L, "qt");
    lua_getfield(L, -1, "QFont");
    lua_getfield(L, -1, "create");
    lua_call(L, 0, 1); /* values..., qt, QFont, font */
    lua_getfield(L, -1, "setFont");
    lua_insert(L, 1);
    lua_insert(L, 2); /* setFont, font, values..., qt, QFont */
    lua_pop(L, 2);
    lua_call(L, n + 1, 0);
    return 0;
}

void pushValue(lua_State *L, const QByteArray &piece)
{
    const char kind = piece.isEmpty() ? 's' : piece.at(0);
    const QByteArray rest = piece.mid(1);
    switch (kind) {
    case 'n':
        if (lua_stringtonumber(L, rest.constData()) == 0)
            lua_pushlstring(L, rest.constData(), size_t(rest.size()));
        break;
    case 'b':
        lua_pushboolean(L, !rest.isEmpty() && rest.at(0) != '0');
        break;
    case 'z':
        lua_pushnil(L);
        break;
    default:
        lua_pushlstring(L, piece.constData(), size_t(piece.size()));
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    fuzzsandbox::silenceStdio();
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    new QApplication(*argc, *argv);
    L = luaX_newstate();
    luaL_requiref(L, "qt.core", luaopen_qt_core, 0);
    lua_setglobal(L, "qt");
    fuzzsandbox::confine(L, &budget);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    budget.instructions = 0;
    QList<QByteArray> pieces = QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size)).split('\0');
    while (pieces.size() > 8)
        pieces.removeLast();

    for (const QByteArray &piece : pieces) {
        lua_pushcfunction(L, readColor);
        pushValue(L, piece);
        lua_pcall(L, 1, 0, 0);
        lua_settop(L, 0);
        pushValue(L, piece);
        const QVariant v = luaX_tovariant(L, 1);
        luaX_pushvariant(L, v);
        lua_settop(L, 0);
    }

    lua_pushcfunction(L, setFontWith);
    for (const QByteArray &piece : pieces)
        pushValue(L, piece);
    lua_pcall(L, int(pieces.size()), 0, 0);
    lua_settop(L, 0);
    lua_gc(L, LUA_GCSTEP, 0);
    return 0;
}
