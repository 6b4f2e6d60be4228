#include "styles.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPen>

#include <cstring>

namespace styles {

namespace {

const QColor kBorderDark(0x33, 0x33, 0x33);
const QColor kSelected(0x00, 0xC0, 0x00);
const QColor kWarning(0xD0, 0x00, 0x00);

bool is(const char *a, const char *b)
{
    return std::strcmp(a, b) == 0;
}

QBrush vertical(const QRectF &rect, std::initializer_list<QGradientStop> stops)
{
    QLinearGradient g(rect.topLeft(), rect.bottomLeft());
    for (const QGradientStop &stop : stops)
        g.setColorAt(stop.first, stop.second);
    return QBrush(g);
}

QBrush buttonGradient(const QRectF &rect, const Derived &d)
{
    return vertical(rect, { { 0.0, QColor(Qt::white) }, { 0.05, d.lighter }, { 0.49, d.light }, { 0.5, d.base } });
}

Look look(const QBrush &brush, int penWidth, int radius, const QColor &border)
{
    Look l;
    l.brush = brush;
    l.penWidth = penWidth;
    l.radius = radius;
    l.border = border;
    return l;
}

} // namespace

Derived derive(const QColor &c)
{
    const int lightness = c.lightness();
    if (lightness == 0)
        return { QColor(0x26, 0x26, 0x26), QColor(0x35, 0x35, 0x35), QColor(0x6F, 0x6F, 0x6F) };
    // QColor::lighter is the same computation as the obsolete QColor::light.
    if (lightness <= 100)
        return { c, c.lighter(115), c.lighter(140) };
    if (lightness <= 200)
        return { c, c.lighter(110), c.lighter(130) };
    return { c, c.lighter(105), c.lighter(120) };
}

Look resolve(const QColor &colour, const char *style, const char *state, const QRectF &rect)
{
    const bool disabled = is(state, "disabled");
    const bool down = is(state, "down");
    const QColor c = disabled ? QColor(Qt::darkGray) : colour;
    const QColor white(Qt::white);

    if (!*style)
        return look(c, 0, 0, QColor());
    if (is(style, "panel"))
        return look(c, 1, 8, disabled ? kBorderDark : white);
    if (is(style, "panel.flat"))
        return look(c, 1, 0, disabled ? kBorderDark : white);

    const Derived d = derive(c);
    if (style[0] == 'b') {
        if (disabled)
            return look(c, 1, 3, kBorderDark);
        if (down) {
            if (is(style, "button.selected"))
                return look(d.light, 2, 3, kSelected);
            if (is(style, "button.warning"))
                return look(d.light, 2, 3, kWarning);
            return look(d.light, 1, 3, kBorderDark);
        }
        if (is(style, "button.flat"))
            return look(c, 1, 3, kBorderDark);
        if (is(style, "button.cell"))
            return look(vertical(rect, { { 0.0, d.lighter }, { 0.5, d.base }, { 1.0, d.light } }), 1, 3, kBorderDark);
        if (is(style, "button.highlight"))
            return look(
                vertical(rect, { { 0.0, d.lighter.lighter(120) }, { 0.5, d.base }, { 1.0, d.light.lighter(140) } }), 1,
                3, kBorderDark);
        if (is(style, "button.compact"))
            return look(buttonGradient(rect, d), 1, 0, kBorderDark);
        if (is(style, "button.selected"))
            return look(buttonGradient(rect, d), 2, 3, kSelected);
        if (is(style, "button.warning"))
            return look(buttonGradient(rect, d), 2, 3, kWarning);
        return look(buttonGradient(rect, d), 1, 3, kBorderDark);
    }
    if (is(style, "panel.gradient")) {
        if (disabled)
            return look(c, 1, 8, kBorderDark);
        return look(vertical(rect, { { 0.0, d.light }, { 0.05, d.base }, { 1.0, d.lighter } }), 1, 8, white);
    }
    if (is(style, "msgbox.panel"))
        return look(QColor(50, 50, 90, 230), 1, 0, white);
    if (is(style, "cell.panel"))
        return look(c, 0, 4, c);
    if (is(style, "timecode"))
        return look(c, 1, 6, white);
    if (is(style, "textbox"))
        return look(vertical(rect, { { 0.0, white }, { 0.05, d.base } }), 0, 0, QColor());
    if (is(style, "gradient")) {
        if (disabled)
            return look(c, 0, 0, QColor());
        return look(vertical(rect, { { 0.0, d.light }, { 0.05, d.base }, { 1.0, d.lighter } }), 0, 0, QColor());
    }
    return look(c, 0, 0, QColor());
}

void paint(QPainter &painter, const QRectF &rect, const QColor &colour, const char *style, const char *state)
{
    // The transparent short cut looks at the colour the script gave, before
    // "disabled" swaps in grey: an invisible panel stays invisible.
    if (colour.alpha() == 0)
        return;
    painter.save();
    const Look l = resolve(colour, style, state, rect);
    if (l.penWidth == 0 && l.radius == 0) {
        painter.fillRect(rect, l.brush);
        painter.restore();
        return;
    }
    QPen pen(l.border);
    pen.setWidth(l.penWidth);
    // A cosmetic outline in the fill's own colour softens the antialiased edge.
    if (l.penWidth == 0)
        pen.setBrush(l.brush);
    QRectF r = rect;
    if (l.penWidth != 0) {
        // The border eats the pen and half a pen again, so that a 2-pixel
        // border stays inside the widget's last column and row.
        const int half = l.penWidth / 2;
        r = QRectF(
            rect.x() + half, rect.y() + half, rect.width() - l.penWidth - half, rect.height() - l.penWidth - half);
    }
    painter.setPen(pen);
    painter.setBrush(l.brush);
    // Qt 5.15 folds the high-quality hint into plain antialiasing; it is set
    // all the same for the OpenGL paint engines that still read it.
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    painter.setRenderHints(QPainter::Antialiasing | QPainter::HighQualityAntialiasing);
    QT_WARNING_POP
    if (l.radius != 0) {
        // An odd pen centred on a pixel edge would smear over two pixels.
        if (l.penWidth % 2 == 1)
            r.translate(0.5, 0.5);
        painter.drawRoundedRect(r, l.radius, l.radius, Qt::AbsoluteSize);
    } else {
        painter.drawRect(r);
    }
    painter.restore();
}

} // namespace styles
