#include "dragsource.h"

#include <QDrag>
#include <QMimeData>
#include <QPainter>
#include <QPointer>
#include <QWidget>

namespace orvane {

const char kScriptDragFormat[] = "application/vnd.lua.dragdrop";
const char kScriptDragPayload[] = "dragdrop";

QPixmap dragPixmap(QWidget *source)
{
    const QPixmap grabbed = source->grab(QRect(QPoint(0, 0), QSize(-1, -1)));
    QPixmap image(grabbed.size());
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setOpacity(0.75);
    painter.drawPixmap(0, 0, grabbed);
    painter.end();
    return image;
}

QPoint dragHotSpot(const QSize &pixmapSize)
{
    return QPoint(pixmapSize.width() / 2, pixmapSize.height() * 3 / 4);
}

void runScriptDrag(QWidget *source, const QString &format, const QByteArray &data)
{
    // The drag is a child of its source: a script that destroys the source
    // while the drag runs takes the drag with it.
    QPointer<QDrag> drag = new QDrag(source);
    auto *mime = new QMimeData;
    mime->setData(format, data);
    drag->setMimeData(mime);
    const QPixmap image = dragPixmap(source);
    drag->setPixmap(image);
    drag->setHotSpot(dragHotSpot(image.size()));
    drag->exec(Qt::CopyAction | Qt::MoveAction);
    delete drag.data();
}

} // namespace orvane
