// PushButton: a button the script draws; its state drives the face.
#include "classtables.h"
#include "luax.h"
#include "tracker.h"
#include "pushbutton.h"

namespace {

int lpushbutton_create(lua_State *L)
{
    auto *parent = luaX_toqobject<QWidget>(L, 1, "QWidget");
    auto *button = new PushButton(parent);
    QObject::connect(button, &QPushButton::clicked, button, &PushButton::onClicked);
    luaX_pushobject(L, button, "PushButton");
    ObjectTracker::instance(L)->adopt(button);
    return 1;
}

int lpushbutton_state(lua_State *L)
{
    // Disabled wins over down: a held button that gets disabled must not
    // keep looking pressed.
    auto *button = luaX_checkqobject<PushButton>(L, 1, "PushButton");
    if (!button->isEnabled())
        lua_pushstring(L, "disabled");
    else if (button->isDown())
        lua_pushstring(L, "down");
    else
        lua_pushstring(L, "");
    return 1;
}

} // namespace

const luaL_Reg lpushbutton_methods[] = {
    {"create", lpushbutton_create},
    {"state", lpushbutton_state},
    {nullptr, nullptr},
};
