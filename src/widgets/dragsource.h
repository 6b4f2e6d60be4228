#pragma once
// Script-started drags: the translucent image of the source widget and the
// modal drag itself. Split out so the image and its hot spot can be checked
// without a drag running.

#include <QByteArray>
#include <QPixmap>
#include <QPoint>
#include <QString>

class QWidget;

namespace orvane {

// The format and payload that mark a drag as one of the script system's.
extern const char kScriptDragFormat[];
extern const char kScriptDragPayload[];

// The whole widget grabbed and painted at 75 % opacity onto a transparent
// pixmap of the same size.
QPixmap dragPixmap(QWidget *source);
// Horizontal middle, three quarters down: the finger sits on the lower part
// of the picked-up image, so the image stays visible above it.
QPoint dragHotSpot(const QSize &pixmapSize);

// Runs a modal drag of data under format from source (copy or move).
// Returns when the drag ends; source may be gone by then.
void runScriptDrag(QWidget *source, const QString &format, const QByteArray &data);

} // namespace orvane
