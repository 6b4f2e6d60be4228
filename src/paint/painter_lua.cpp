// QPainter: the shared painter lcdCanvas (active during onPaint only) and
// painters that scripts make on their own images. Coordinates are integers
// in device pixels; colours go through luaX_tocolor.
#include "classtables.h"
#include "graphics.h"
#include "luax.h"
#include "numbers.h"
#include "styles.h"

#include <QFont>
#include <QFontMetrics>
#include <QPaintDevice>
#include <QPainter>
#include <QPixmap>

namespace {

QPainter *checkPainter(lua_State *L)
{
    return static_cast<QPainter *>(luaX_checkobject(L, 1, "QPainter"));
}

// A colour argument counts only when it is a string or a number; anything
// else (nil, a table, ...) means "use the painter's own pen or brush".
bool hasColour(lua_State *L, int index)
{
    const int type = lua_type(L, index);
    return type == LUA_TSTRING || type == LUA_TNUMBER;
}

int lpainter_create(lua_State *L)
{
    auto *pixmap = static_cast<QPixmap *>(luaX_checkobject(L, 1, "Image"));
    luaX_newobject(L, new QPainter(pixmap), "QPainter", HANDLE_OWNED); /* image, painter */
    // The painter holds the image's handle, so collecting a dropped image
    // handle cannot free the pixmap while it is still being painted on.
    lua_pushvalue(L, 1); /* image, painter, image */
    lua_setuservalue(L, -2); /* image, painter */
    return 1;
}

int lpainter_gc(lua_State *L)
{
    return luaX_gcowned<QPainter>(L, "QPainter");
}

int lpainter_size(lua_State *L)
{
    QPainter *painter = checkPainter(L);
    // The shared painter has no device outside onPaint: report an empty one.
    // An ended painter still names the device it last painted on, which may
    // be a widget deleted since: only an active painter's device is real.
    const QPaintDevice *device = painter->isActive() ? painter->device() : nullptr;
    lua_pushinteger(L, device ? device->width() : 0);
    lua_pushinteger(L, device ? device->height() : 0);
    return 2;
}

int lpainter_setBrush(lua_State *L)
{
    QPainter *painter = checkPainter(L);
    painter->setBrush(QBrush(luaX_tocolor(L, 2, "black"), Qt::SolidPattern));
    return 0;
}

int lpainter_setPen(lua_State *L)
{
    QPainter *painter = checkPainter(L);
    painter->setPen(QPen(luaX_tocolor(L, 2, "black"), 1, Qt::SolidLine));
    return 0;
}

int lpainter_setFont(lua_State *L)
{
    QPainter *painter = checkPainter(L);
    painter->setFont(*static_cast<QFont *>(luaX_checkobject(L, 2, "QFont")));
    return 0;
}

int lpainter_fill(lua_State *L)
{
    QPainter *painter = checkPainter(L);
    const QRect rect(
        numbers::checkInt32(L, 2), numbers::checkInt32(L, 3), numbers::checkInt32(L, 4), numbers::checkInt32(L, 5));
    // The brush's colour is used even when the brush has no fill style.
    const QColor colour = hasColour(L, 6) ? luaX_tocolor(L, 6, "black") : painter->brush().color();
    painter->fillRect(rect, colour);
    return 0;
}

int lpainter_gradient(lua_State *L)
{
    QPainter *painter = checkPainter(L);
    const int x = numbers::checkInt32(L, 2);
    const int y = numbers::checkInt32(L, 3);
    const int w = numbers::checkInt32(L, 4);
    const int h = numbers::checkInt32(L, 5);
    const QColor colour = hasColour(L, 6) ? luaX_tocolor(L, 6, "black") : painter->brush().color();
    const char *style = luaL_optstring(L, 7, "");
    const char *state = luaL_optstring(L, 8, "");
    styles::paint(*painter, QRectF(x, y, w, h), colour, style, state);
    return 0;
}

int lpainter_box(lua_State *L)
{
    QPainter *painter = checkPainter(L);
    const int x = numbers::checkInt32(L, 2);
    const int y = numbers::checkInt32(L, 3);
    const int w = numbers::checkInt32(L, 4);
    const int h = numbers::checkInt32(L, 5);
    const bool coloured = hasColour(L, 6);
    const QColor colour = coloured ? luaX_tocolor(L, 6, "black") : QColor();
    painter->save();
    if (coloured)
        painter->setPen(colour);
    if (w == 0 || h == 0) {
        // nothing to outline
    } else if (w == 1) {
        painter->drawLine(x, y, x, y + h - 1);
    } else if (h == 1) {
        painter->drawLine(x, y, x + w - 1, y);
    } else {
        // Qt's integer rectangle outline reaches one pixel past its size.
        painter->drawRect(QRect(x, y, w - 1, h - 1));
    }
    painter->restore();
    return 0;
}

int lpainter_text(lua_State *L)
{
    QPainter *painter = checkPainter(L);
    const int x = numbers::checkInt32(L, 2);
    int y = numbers::checkInt32(L, 3);
    const QString text = QString::fromUtf8(luaL_checkstring(L, 4));
    const bool sized = lua_type(L, 5) == LUA_TNUMBER;
    const int pixelSize = sized ? numbers::toInt32(L, 5) : 0;
    const bool coloured = hasColour(L, 6);
    const QColor colour = coloured ? luaX_tocolor(L, 6, "black") : QColor();
    painter->save();
    if (sized) {
        QFont font = painter->font();
        font.setPixelSize(pixelSize);
        painter->setFont(font);
    }
    if (coloured)
        painter->setPen(colour);
    // Scripts place text by its top edge; Qt draws on the baseline.
    y += painter->fontMetrics().ascent();
    painter->drawText(QPointF(x, y), text);
    painter->restore();
    return 0;
}

int lpainter_image(lua_State *L)
{
    QPainter *painter = checkPainter(L);
    const int x = numbers::checkInt32(L, 2);
    const int y = numbers::checkInt32(L, 3);
    auto *pixmap = static_cast<QPixmap *>(luaX_checkobject(L, 4, "Image"));
    const int sx = numbers::optInt32(L, 5, 0);
    const int sy = numbers::optInt32(L, 6, 0);
    const int sw = numbers::optInt32(L, 7, pixmap->width());
    const int sh = numbers::optInt32(L, 8, pixmap->height());
    painter->drawPixmap(QRectF(x, y, sw, sh), *pixmap, QRectF(sx, sy, sw, sh));
    return 0;
}

int lpainter_graphic(lua_State *L)
{
    QPainter *painter = checkPainter(L);
    const QString name = QString::fromUtf8(luaL_checkstring(L, 2));
    const QRectF target(luaX_torect(L, 3));
    QByteArray missing;
    // The message as it stands, like lua_error on a pushed string: no
    // "file:line:" of the caller in front of it.
    if (!graphics::render(*painter, name, target, &missing)) {
        lua_pushfstring(L, "Cannot find graphic '%s'", missing.constData());
        return lua_error(L);
    }
    return 0;
}

} // namespace

const luaL_Reg lpainter_methods[] = {
    { "create", lpainter_create },
    { "__gc", lpainter_gc },
    { "size", lpainter_size },
    { "setBrush", lpainter_setBrush },
    { "setPen", lpainter_setPen },
    { "setFont", lpainter_setFont },
    { "fill", lpainter_fill },
    { "gradient", lpainter_gradient },
    { "box", lpainter_box },
    { "text", lpainter_text },
    { "image", lpainter_image },
    { "graphic", lpainter_graphic },
    { nullptr, nullptr },
};
