#pragma once
// The host's whole built-in look: a style name, a state name and one base
// colour resolve to a fill, a border and a corner radius. Resolution is a
// pure function so that the table can be checked without a painter; paint()
// is the one place that turns a resolved look into QPainter calls.

#include <QBrush>
#include <QColor>
#include <QRectF>

class QPainter;

namespace styles {

// The three colours a button face is made of, picked by the base colour's
// HSL lightness band.
struct Derived {
    QColor base; // B
    QColor light; // L1
    QColor lighter; // L2
};

struct Look {
    QBrush brush;
    int penWidth = 0; // 0: no separately coloured border
    int radius = 0; // 0: square corners
    QColor border; // invalid when the style has no border at all
};

Derived derive(const QColor &colour);

// colour is the base colour before the "disabled" replacement; rect is the
// caller's unshrunk rectangle (gradients run from its top to its bottom).
Look resolve(const QColor &colour, const char *style, const char *state, const QRectF &rect);

// Paints rect in the style. Draws nothing for a fully transparent colour;
// leaves the painter's pen, brush and render hints as it found them.
void paint(QPainter &painter, const QRectF &rect, const QColor &colour, const char *style, const char *state);

} // namespace styles
