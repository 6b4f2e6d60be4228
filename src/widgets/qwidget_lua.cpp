// QWidget: the methods every script-visible widget shares, and Widget, the
// widget scripts create and draw themselves.
//
// Several methods run code that can call back into the script (a move or
// resize handler, a close handler, the nested loop of a message box or a
// drag). Such a callback may empty this call's stack and may destroy the
// widget, so arguments are read first and the widget is re-checked through a
// QPointer before it is touched again.
#include "classtables.h"
#include "dragsource.h"
#include "luax.h"
#include "tracker.h"
#include "messagebox.h"
#include "numbers.h"
#include "widget.h"
#include "widgettree.h"

#include <QFont>
#include <QPointer>
#include <QRegion>
#include <QStyle>

#include <cstdio>
#include <cstring>

namespace {

QWidget *checkWidget(lua_State *L, int index = 1)
{
    return luaX_checkqobject<QWidget>(L, index, "QWidget");
}

// Flag arguments: leaving the argument out means true, while an explicit nil
// is false, so `w:setEnabled()` enables and `w:setEnabled(nil)` disables.
bool flagArg(lua_State *L, int index)
{
    return lua_isnone(L, index) ? true : lua_toboolean(L, index) != 0;
}

int lqwidget_create(lua_State *L)
{
    // Anything that is not a live widget (absent, nil, another class) just
    // means "no parent": the widget becomes a top-level window.
    auto *parent = luaX_toqobject<QWidget>(L, 1, "QWidget");
    auto *widget = new Widget(parent);
    luaX_pushobject(L, widget, widget->metaObject()->className());
    ObjectTracker::instance(L)->adopt(widget);
    return 1;
}

int lqwidget_move(lua_State *L)
{
    QWidget *w = checkWidget(L);
    w->move(w->pos() + QPoint(1, 0));
    return 0;
}

int lqwidget_show(lua_State *L)
{
    QPointer<QWidget> w = checkWidget(L);
    const char *mode = luaL_optstring(L, 2, nullptr);
    if (mode && !strcmp(mode, "fullscreen"))
        w->showFullScreen();
    else if (mode && !strcmp(mode, "normal"))
        w->showNormal();
    else
        w->show();
    // Showing delivers move and resize events, which reach the script.
    if (w && (w->windowFlags() & Qt::Tool))
        w->activateWindow();
    return 0;
}

int lqwidget_hide(lua_State *L)
{
    checkWidget(L)->hide();
    return 0;
}

int lqwidget_draw(lua_State *L)
{
    checkWidget(L)->update();
    return 0;
}

int lqwidget_close(lua_State *L)
{
    // The close event reaches the script's "onClose" from inside this call;
    // nothing is read afterwards.
    checkWidget(L)->close();
    return 0;
}

int lqwidget_setTitle(lua_State *L)
{
    QWidget *w = checkWidget(L);
    w->setWindowTitle(QString::fromUtf8(luaL_checkstring(L, 2)));
    return 0;
}

int lqwidget_setGeometry(lua_State *L)
{
    QPointer<QWidget> w = checkWidget(L);
    const int x = numbers::checkInt32(L, 2);
    const int y = numbers::checkInt32(L, 3);
    const int width = numbers::checkInt32(L, 4);
    const int height = numbers::checkInt32(L, 5);
    w->move(x, y);
    if (w)
        w->resize(width, height);
    return 0;
}

int lqwidget_geometry(lua_State *L)
{
    // pos() rather than geometry(): it is what move() sets, so a top-level
    // window's frame does not make setGeometry and geometry disagree.
    QWidget *w = checkWidget(L);
    const QPoint pos = w->pos();
    const QSize size = w->size();
    lua_pushinteger(L, pos.x());
    lua_pushinteger(L, pos.y());
    lua_pushinteger(L, size.width());
    lua_pushinteger(L, size.height());
    return 4;
}

int lqwidget_msgBox(lua_State *L)
{
    QWidget *w = checkWidget(L);
    const QString text = QString::fromUtf8(luaL_checkstring(L, 2));
    // The two tops show whether the box's nested loop reset this call's stack.
    printf("lwidget_msgBox start - top:%d\n", lua_gettop(L));
    orvane::showMessageBox(QMessageBox::Information, w, QStringLiteral("Message Box"), text);
    printf("lwidget_msgBox end - top:%d\n", lua_gettop(L));
    fflush(stdout);
    return 0;
}

int lqwidget_hasTouchFocus(lua_State *L)
{
    checkWidget(L);
    lua_pushboolean(L, 0);
    return 1;
}

int lqwidget_setFont(lua_State *L)
{
    QWidget *w = checkWidget(L);
    const auto *font = static_cast<const QFont *>(luaX_checkobject(L, 2, "QFont"));
    w->setFont(*font);
    return 0;
}

int lqwidget_isMaximized(lua_State *L)
{
    lua_pushboolean(L, checkWidget(L)->isMaximized());
    return 1;
}

int lqwidget_setMaximized(lua_State *L)
{
    checkWidget(L)->showMaximized();
    return 0;
}

int lqwidget_setStyleSheet(lua_State *L)
{
    QWidget *w = checkWidget(L);
    w->setStyleSheet(QString::fromUtf8(luaL_checkstring(L, 2)));
    return 0;
}

int lqwidget_repolish(lua_State *L)
{
    // Style-sheet selectors on dynamic properties are only re-evaluated on
    // polish; scripts call this after setProperty.
    QWidget *w = checkWidget(L);
    QStyle *style = w->style();
    style->unpolish(w);
    style->polish(w);
    return 0;
}

int lqwidget_globalPos(lua_State *L)
{
    QWidget *w = checkWidget(L);
    const QPoint local(numbers::optInt32(L, 2, 0), numbers::optInt32(L, 3, 0));
    const QPoint global = w->mapToGlobal(local);
    lua_pushinteger(L, global.x());
    lua_pushinteger(L, global.y());
    return 2;
}

int lqwidget_dragDrop(lua_State *L)
{
    QWidget *w = checkWidget(L);
    const QString format = QString::fromUtf8(luaL_optstring(L, 2, orvane::kScriptDragFormat));
    size_t len = 0;
    const char *data = luaL_optlstring(L, 3, orvane::kScriptDragPayload, &len);
    const QByteArray payload(data, int(len));
    // Both copied: the drag's loop dispatches drag and drop messages, and
    // those empty this call's stack.
    orvane::runScriptDrag(w, format, payload);
    return 0;
}

int lqwidget_setFocus(lua_State *L)
{
    checkWidget(L)->setFocus(Qt::OtherFocusReason);
    return 0;
}

int lqwidget_setFloating(lua_State *L)
{
    QWidget *w = checkWidget(L);
    w->setAutoFillBackground(false);
    w->setWindowFlags(Qt::Tool | Qt::WindowStaysOnTopHint);
    return 0;
}

int lqwidget_setParent(lua_State *L)
{
    QWidget *w = checkWidget(L);
    QWidget *parent = nullptr;
    if (!lua_isnoneornil(L, 2)) {
        parent = checkWidget(L, 2);
        // Qt would accept the loop and then recurse through it forever.
        if (orvane::wouldCreateCycle(w, parent))
            return luaL_argerror(L, 2, "would make a widget its own ancestor");
    }
    w->setParent(parent);
    return 0;
}

int lqwidget_setEnabled(lua_State *L)
{
    QWidget *w = checkWidget(L);
    w->setEnabled(flagArg(L, 2));
    return 0;
}

int lqwidget_isEnabled(lua_State *L)
{
    lua_pushboolean(L, checkWidget(L)->isEnabled());
    return 1;
}

int lqwidget_setVisible(lua_State *L)
{
    QWidget *w = checkWidget(L);
    w->setVisible(flagArg(L, 2));
    return 0;
}

int lqwidget_isVisible(lua_State *L)
{
    lua_pushboolean(L, checkWidget(L)->isVisible());
    return 1;
}

int lqwidget_setCanFocus(lua_State *L)
{
    QWidget *w = checkWidget(L);
    w->setFocusPolicy(flagArg(L, 2) ? Qt::StrongFocus : Qt::NoFocus);
    return 0;
}

int lqwidget_setFrame(lua_State *L)
{
    // The mask is fixed at the size of the moment; a later resize keeps it.
    QWidget *w = checkWidget(L);
    if (flagArg(L, 2))
        w->clearMask();
    else
        w->setMask(QRegion(0, 0, w->width(), w->height()));
    return 0;
}

int lqwidget_state(lua_State *L)
{
    lua_pushstring(L, checkWidget(L)->isEnabled() ? "" : "disabled");
    return 1;
}

int lqwidget_setAcceptDrops(lua_State *L)
{
    QWidget *w = checkWidget(L);
    w->setAcceptDrops(flagArg(L, 2));
    return 0;
}

int lqwidget_isFullScreen(lua_State *L)
{
    lua_pushboolean(L, checkWidget(L)->isFullScreen());
    return 1;
}

} // namespace

const luaL_Reg lqwidget_methods[] = {
    {"create", lqwidget_create},
    {"move", lqwidget_move},
    {"show", lqwidget_show},
    {"hide", lqwidget_hide},
    {"draw", lqwidget_draw},
    {"close", lqwidget_close},
    {"setTitle", lqwidget_setTitle},
    {"setGeometry", lqwidget_setGeometry},
    {"geometry", lqwidget_geometry},
    {"msgBox", lqwidget_msgBox},
    {"hasTouchFocus", lqwidget_hasTouchFocus},
    {"update", lqwidget_draw},
    {"setFont", lqwidget_setFont},
    {"isMaximized", lqwidget_isMaximized},
    {"setMaximized", lqwidget_setMaximized},
    {"setStyleSheet", lqwidget_setStyleSheet},
    {"repolish", lqwidget_repolish},
    {"globalPos", lqwidget_globalPos},
    {"dragDrop", lqwidget_dragDrop},
    {"setFocus", lqwidget_setFocus},
    {"setFloating", lqwidget_setFloating},
    {"setParent", lqwidget_setParent},
    {"setEnabled", lqwidget_setEnabled},
    {"isEnabled", lqwidget_isEnabled},
    {"setVisible", lqwidget_setVisible},
    {"isVisible", lqwidget_isVisible},
    {"setCanFocus", lqwidget_setCanFocus},
    {"setFrame", lqwidget_setFrame},
    {"state", lqwidget_state},
    {"setAcceptDrops", lqwidget_setAcceptDrops},
    {"isFullScreen", lqwidget_isFullScreen},
    {nullptr, nullptr},
};

// Widget adds nothing: it inherits create and every method above.
const luaL_Reg lwidget_methods[] = {{nullptr, nullptr}};
