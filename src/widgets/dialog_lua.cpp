// QDialog: a modal window that deletes itself when closed, so its handle
// reports "attempting to access deleted" once exec has returned.
#include "classtables.h"
#include "luax.h"
#include "tracker.h"
#include "numbers.h"

#include <QDialog>
#include <QEvent>
#include <QEventLoop>
#include <QPointer>

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

// QDialog::exec ends its loop only through a done() or hide that comes while
// the loop runs. Showing the dialog sends it move and resize messages first,
// and a handler of those may run a loop of its own (a box) in which the
// dialog is done or hidden: QDialog::exec would then wait for ever on a
// hidden dialog. This loop also ends, or never starts, when that happened.
class DialogLoop : public QEventLoop
{
public:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Hide)
            quit();
        return false;
    }
};

int ldialog_exec(lua_State *L)
{
    // The nested loop runs every other handler, and those empty this call's
    // stack; the dialog is deleted by the time exec returns.
    auto *dialog = luaX_checkqobject<QDialog>(L, 1, "QDialog");
    if (dialog->testAttribute(Qt::WA_ShowModal) && dialog->isVisible()) {
        lua_pushinteger(L, -1); // already in a modal loop, as QDialog::exec answers
        return 1;
    }
    const QPointer<QDialog> guard(dialog);
    const bool deleteOnClose = dialog->testAttribute(Qt::WA_DeleteOnClose);
    const bool wasShowModal = dialog->testAttribute(Qt::WA_ShowModal);
    dialog->setAttribute(Qt::WA_DeleteOnClose, false);
    dialog->setAttribute(Qt::WA_ShowModal, true);
    dialog->setResult(0);
    DialogLoop loop;
    bool finished = false;
    QObject::connect(dialog, &QDialog::finished, &loop, [&finished, &loop] {
        finished = true;
        loop.quit();
    });
    QObject::connect(dialog, &QObject::destroyed, &loop, &QEventLoop::quit);
    dialog->show();
    // Done while being shown: the show went on afterwards and left it on
    // screen.
    if (guard && finished)
        dialog->hide();
    if (guard && !finished && guard->isVisible()) {
        dialog->installEventFilter(&loop);
        loop.exec(QEventLoop::DialogExec);
    }
    int result = QDialog::Rejected;
    if (guard) {
        dialog->removeEventFilter(&loop);
        dialog->setAttribute(Qt::WA_ShowModal, wasShowModal);
        result = dialog->result();
        if (deleteOnClose)
            delete dialog;
    }
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
