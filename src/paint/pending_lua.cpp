// Method tables of painting classes whose methods have not landed yet.
#include "classtables.h"

const luaL_Reg lpainter_methods[] = {{nullptr, nullptr}};
const luaL_Reg limage_methods[] = {{nullptr, nullptr}};
