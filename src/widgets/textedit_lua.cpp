// QPlainTextEdit: a multi-line area that scripts append to (logs, messages).
#include "classtables.h"
#include "luax.h"
#include "tracker.h"

#include <QPlainTextEdit>

namespace {

QPlainTextEdit *checkTextEdit(lua_State *L)
{
    return luaX_checkqobject<QPlainTextEdit>(L, 1, "QPlainTextEdit");
}

int ltextedit_create(lua_State *L)
{
    auto *parent = luaX_toqobject<QWidget>(L, 1, "QWidget");
    auto *edit = new QPlainTextEdit(parent);
    luaX_pushobject(L, edit, "QPlainTextEdit");
    ObjectTracker::instance(L)->adopt(edit);
    return 1;
}

int ltextedit_append(lua_State *L)
{
    QPlainTextEdit *edit = checkTextEdit(L);
    // Lenient like every text argument: numbers give their text, others none.
    const char *s = lua_tolstring(L, 2, nullptr);
    edit->appendPlainText(s ? QString::fromUtf8(s) : QString());
    return 0;
}

int ltextedit_text(lua_State *L)
{
    lua_pushstring(L, checkTextEdit(L)->toPlainText().toLocal8Bit().constData());
    return 1;
}

int ltextedit_clear(lua_State *L)
{
    checkTextEdit(L)->setPlainText(QString());
    return 0;
}

} // namespace

const luaL_Reg ltextedit_methods[] = {
    {"create", ltextedit_create},
    {"append", ltextedit_append},
    {"text", ltextedit_text},
    {"clear", ltextedit_clear},
    {nullptr, nullptr},
};
