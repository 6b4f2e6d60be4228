// QFont: fonts as values. Painters and widgets take copies; copy() makes an
// independent duplicate for variations.
#include "classtables.h"
#include "luax.h"
#include "numbers.h"

#include <QFont>
#include <QFontMetrics>

#include <cstring>

namespace {

QFont *checkFont(lua_State *L, int index)
{
    return static_cast<QFont *>(luaX_checkobject(L, index, "QFont"));
}

void pushNewFont(lua_State *L, QFont *font)
{
    luaX_newobject(L, font, "QFont", HANDLE_OWNED | HANDLE_UNTRACKED);
    // The collector sees only the handle; a font's private data (about a
    // kilobyte with its engine references) counts toward the next cycle.
    lua_gc(L, LUA_GCSTEP, 1);
}

int lfont_create(lua_State *L)
{
    auto *font = new QFont;
    font->setStyleStrategy(QFont::PreferAntialias);
    font->setFamily(QStringLiteral("Courier New"));
    font->setWeight(QFont::Normal);
    pushNewFont(L, font);
    return 1;
}

int lfont_gc(lua_State *L)
{
    return luaX_gcowned<QFont>(L, "QFont");
}

int unexpected(lua_State *L, int arg)
{
    return luaL_argerror(L, arg, "Unexpected font attribute");
}

int lfont_setFont(lua_State *L)
{
    QFont *font = checkFont(L, 1);
    const int top = lua_gettop(L);
    for (int i = 2; i <= top; ++i) {
        const int type = lua_type(L, i);
        if (type == LUA_TNIL)
            continue;
        if (lua_isnumber(L, i)) {
            font->setPixelSize(numbers::toInt32(L, i));
            continue;
        }
        if (type != LUA_TSTRING)
            return unexpected(L, i);
        const char *word = lua_tostring(L, i);
        if (word[0] >= 'A' && word[0] <= 'Z') {
            font->setFamily(QString::fromUtf8(word));
        } else if (!strcmp(word, "bold")) {
            font->setWeight(QFont::Bold);
        } else if (!strcmp(word, "demibold")) {
            font->setWeight(QFont::DemiBold);
        } else if (!strcmp(word, "normal")) {
            font->setWeight(QFont::Normal);
        } else if (!strcmp(word, "light")) {
            font->setWeight(QFont::Light);
        } else if (!strcmp(word, "italic")) {
            font->setItalic(true);
        } else if (!strcmp(word, "overline")) {
            font->setOverline(true);
        } else if (!strcmp(word, "underline")) {
            font->setUnderline(true);
        } else {
            return unexpected(L, i);
        }
    }
    return 0;
}

int lfont_textBounds(lua_State *L)
{
    QFont *font = checkFont(L, 1);
    const QString text = QString::fromUtf8(luaL_checkstring(L, 2));
    const QRect r = QFontMetrics(*font).boundingRect(QRect(), 0, text);
    lua_pushinteger(L, r.right() - r.left() + 1);
    lua_pushinteger(L, r.bottom() - r.top() + 1);
    return 2;
}

int lfont_copy(lua_State *L)
{
    QFont *font = checkFont(L, 1);
    pushNewFont(L, new QFont(*font));
    return 1;
}

} // namespace

const luaL_Reg lfont_methods[] = {
    {"create", lfont_create},
    {"__gc", lfont_gc},
    {"setFont", lfont_setFont},
    {"textBounds", lfont_textBounds},
    {"copy", lfont_copy},
    {nullptr, nullptr},
};
