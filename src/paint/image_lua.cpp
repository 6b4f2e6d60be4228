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
    auto *pixmap = new QPixmap(width, height);
    luaX_newobject(L, pixmap, "Image", HANDLE_OWNED | HANDLE_UNTRACKED);
    // The collector sees only the handle's few bytes. Stepping it by the
    // pixel memory (once the handle holds the pixmap) lets dropped images go
    // at the pace they are made instead of piling up between cycles.
    const qint64 kib = qint64(pixmap->width()) * pixmap->height() * qMax(pixmap->depth(), 1) / 8 / 1024 + 1;
    lua_gc(L, LUA_GCSTEP, int(qMin<qint64>(kib, 1 << 20)));
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
    // Scripts can reach __gc through the class table and call it by hand:
    // the handle's life ends first, so that neither its methods nor the
    // collector's own call later meet the freed pixmap. A pixmap still
    // painted on stays:
    // its painter holds this handle, so the collector finalizes that first.
    auto *pixmap = static_cast<QPixmap *>(luaX_toowned(L, 1, "Image", HANDLE_OWNED));
    if (!pixmap || pixmap->paintingActive())
        return 0;
    return luaX_gcowned<QPixmap>(L, "Image");
}

} // namespace

const luaL_Reg limage_methods[] = {
    { "__gc", limage_gc },
    { "create", limage_create },
    { "size", limage_size },
    { nullptr, nullptr },
};
