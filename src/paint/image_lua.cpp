// Image: an off-screen pixmap owned by its handle. Scripts paint on it with a
// painter of its own (QPainter.create) and copy it with QPainter:image.
#include "classtables.h"
#include "luax.h"
#include "numbers.h"

#include <QPixmap>

namespace {

int limage_create(lua_State *L)
{
    const int width = numbers::checkInt32(L, 1);
    const int height = numbers::checkInt32(L, 2);
    // QPixmap itself turns a size of zero or less into a null pixmap.
    luaX_newobject(L, new QPixmap(width, height), "Image", HANDLE_OWNED | HANDLE_UNTRACKED);
    return 1;
}

int limage_size(lua_State *L)
{
    auto *pixmap = static_cast<QPixmap *>(luaX_checkobject(L, 1, "Image"));
    lua_pushinteger(L, pixmap->width());
    lua_pushinteger(L, pixmap->height());
    return 2;
}

int limage_gc(lua_State *L)
{
    delete static_cast<QPixmap *>(luaX_toowned(L, 1, "Image", HANDLE_OWNED));
    return 0;
}

} // namespace

const luaL_Reg limage_methods[] = {
    { "__gc", limage_gc },
    { "create", limage_create },
    { "size", limage_size },
    { nullptr, nullptr },
};
