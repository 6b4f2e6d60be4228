#pragma once
// Named vector graphics: "images/NAME.svg" when that file exists, else the
// element "fa-NAME" of "images/sprites.svg". Both paths are relative to the
// working directory. Every file is parsed once per process; renderers live
// until the process ends.

#include <QByteArray>
#include <QRectF>
#include <QString>

class QPainter;
class QSvgRenderer;

namespace graphics {

// The cached renderer of the graphic's own file, or null when it has none
// (the miss is remembered too).
QSvgRenderer *ownFile(const QString &name);
// The sprite sheet, created on first use whether or not the file loads.
QSvgRenderer *spriteSheet();

// Forgets every file read so far (live reload saw images/ change). Only
// between two interpreters, when nothing paints.
void reloadFiles();

// Renders name into target (an empty target means the whole device).
// Returns false, with the sprite element id in missingId, when the name is
// found nowhere; nothing is drawn then.
bool render(QPainter &painter, const QString &name, const QRectF &target, QByteArray *missingId);

} // namespace graphics
