// QDialog: a modal window that deletes itself when closed, so its handle
// reports "attempting to access deleted" once exec has returned.
#include "classtables.h"
#include "luax.h"
#include "tracker.h"
#include "numbers.h"

#include <QDialog>

namespace {

int ldialog_create(lua_State *L)
{
    auto *parent = luaX_toqobject<QWidget>(L, 1, "QWidget");
    auto *dialog = new QDialog(parent);
    luaX_pushobject(L, dialog, "QDialog");
    ObjectTracker::instance(L)->adopt(dialog);
    dialog->setAttribute(Qt::WA_DeleteOnClose, true);
    return 1;
}

int ldialog_exec(lua_State *L)
{
    // The nested loop runs every other handler, and those empty this call's
    // stack; the dialog is deleted by the time exec returns.
    auto *dialog = luaX_checkqobject<QDialog>(L, 1, "QDialog");
    const int result = dialog->exec();
    lua_pushinteger(L, result);
    return 1;
}

int ldialog_done(lua_State *L)
{
    auto *dialog = luaX_checkqobject<QDialog>(L, 1, "QDialog");
    const int result = numbers::optInteger32(L, 2, 0);
    dialog->done(result);
    return 0;
}

} // namespace

const luaL_Reg ldialog_methods[] = {
    {"create", ldialog_create},
    {"exec", ldialog_exec},
    {"done", ldialog_done},
    {nullptr, nullptr},
};
