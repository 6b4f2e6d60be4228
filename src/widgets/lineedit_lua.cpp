// QLineEdit: frameless single-line entry whose cursor and editing commands
// an on-screen keypad can drive.
#include "classtables.h"
#include "luax.h"
#include "tracker.h"
#include "numbers.h"

#include <QLineEdit>

#include <cstdio>

namespace {

QLineEdit *checkLineEdit(lua_State *L)
{
    return luaX_checkqobject<QLineEdit>(L, 1, "QLineEdit");
}

// Text arguments are lenient: a number gives its text, and anything that
// is neither string nor number (nil included) gives the empty text.
QString textArg(lua_State *L, int index)
{
    const char *s = lua_tolstring(L, index, nullptr);
    return s ? QString::fromUtf8(s) : QString();
}

int llineedit_create(lua_State *L)
{
    auto *parent = luaX_toqobject<QWidget>(L, 1, "QWidget");
    auto *edit = new QLineEdit(parent);
    luaX_pushobject(L, edit, "QLineEdit");
    ObjectTracker::instance(L)->adopt(edit);
    edit->setFrame(false);
    return 1;
}

int llineedit_setText(lua_State *L)
{
    QLineEdit *edit = checkLineEdit(L);
    edit->setText(textArg(L, 2));
    return 0;
}

int llineedit_text(lua_State *L)
{
    lua_pushstring(L, checkLineEdit(L)->text().toLocal8Bit().constData());
    return 1;
}

int llineedit_setMaxLength(lua_State *L)
{
    // Older hosts wrote the number into the text here; the length limit is
    // what scripts ask for. Qt cuts a text already longer than the limit.
    QLineEdit *edit = checkLineEdit(L);
    edit->setMaxLength(numbers::checkInt32(L, 2));
    return 0;
}

int llineedit_setInputMask(lua_State *L)
{
    QLineEdit *edit = checkLineEdit(L);
    edit->setInputMask(QString::fromUtf8(luaL_checkstring(L, 2)));
    return 0;
}

int llineedit_setAlignment(lua_State *L)
{
    QLineEdit *edit = checkLineEdit(L);
    const char *name = luaL_optstring(L, 2, "left");
    edit->setAlignment(name[0] == 'c' ? Qt::AlignHCenter : Qt::AlignLeft);
    return 0;
}

int llineedit_insert(lua_State *L)
{
    QLineEdit *edit = checkLineEdit(L);
    edit->insert(textArg(L, 2));
    return 0;
}

int llineedit_backspace(lua_State *L)
{
    checkLineEdit(L)->backspace();
    return 0;
}

int llineedit_del(lua_State *L)
{
    checkLineEdit(L)->del();
    return 0;
}

int llineedit_cursorMove(lua_State *L)
{
    QLineEdit *edit = checkLineEdit(L);
    const int delta = numbers::checkInteger32(L, 2);
    const int position = edit->cursorPosition();
    printf("ltextedit_cursorMove %d %d", delta, position);
    fflush(stdout);
    // Clamped at both ends here: Qt ignores a position past the end instead
    // of moving to the end, and a keypad's "far right" means the end. The
    // sum is 64-bit so a huge delta cannot wrap round.
    const long long target = static_cast<long long>(position) + delta;
    const int length = edit->text().length();
    edit->setCursorPosition(target < 0 ? 0 : target > length ? length : int(target));
    return 0;
}

int llineedit_selectAll(lua_State *L)
{
    checkLineEdit(L)->selectAll();
    return 0;
}

} // namespace

const luaL_Reg llineedit_methods[] = {
    {"create", llineedit_create},
    {"setText", llineedit_setText},
    {"text", llineedit_text},
    {"setMaxLength", llineedit_setMaxLength},
    {"setInputMask", llineedit_setInputMask},
    {"setAlignment", llineedit_setAlignment},
    {"insert", llineedit_insert},
    {"backspace", llineedit_backspace},
    {"del", llineedit_del},
    {"cursorMove", llineedit_cursorMove},
    {"selectAll", llineedit_selectAll},
    {nullptr, nullptr},
};
