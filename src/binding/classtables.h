#pragma once
// The method tables of the qt.core classes; each lives beside its class's
// code, and qtcore.cpp registers them in their fixed order.
#include <lua.hpp>

extern const luaL_Reg lqobject_methods[];
extern const luaL_Reg lqwidget_methods[];
extern const luaL_Reg lwidget_methods[];
extern const luaL_Reg ldialog_methods[];
extern const luaL_Reg lpushbutton_methods[];
extern const luaL_Reg llineedit_methods[];
extern const luaL_Reg ltextedit_methods[];
extern const luaL_Reg lpainter_methods[];
extern const luaL_Reg lfont_methods[];
extern const luaL_Reg limage_methods[];
extern const luaL_Reg ltracker_methods[];
extern const luaL_Reg ldesktop_methods[];
extern const luaL_Reg lelapsedtimer_methods[];
extern const luaL_Reg ltimer_methods[];
extern const luaL_Reg lserver_methods[];
extern const luaL_Reg lsocket_methods[];
extern const luaL_Reg lfdview_methods[];
