#include "graphics.h"

#include <QFileInfo>
#include <QMap>
#include <QPainter>
#include <QSvgRenderer>

namespace graphics {

namespace {

// Deliberately never freed: the renderers must outlive every painter, and
// reachable-at-exit memory is not a leak.
QMap<QString, QSvgRenderer *> &cache()
{
    static auto *map = new QMap<QString, QSvgRenderer *>;
    return *map;
}

} // namespace

QSvgRenderer *ownFile(const QString &name)
{
    QMap<QString, QSvgRenderer *> &map = cache();
    auto it = map.constFind(name);
    if (it != map.constEnd())
        return it.value();
    const QString path = QStringLiteral("images/") + name + QStringLiteral(".svg");
    // Most names live only in the sprite sheet: skip the renderer (and Qt's
    // "Cannot open file" warning) when there is no file at all.
    QSvgRenderer *renderer = QFileInfo::exists(path) ? new QSvgRenderer(path) : nullptr;
    if (renderer && !renderer->isValid()) {
        delete renderer;
        renderer = nullptr;
    }
    map.insert(name, renderer);
    return renderer;
}

QSvgRenderer *spriteSheet()
{
    static QSvgRenderer *sheet = new QSvgRenderer(QStringLiteral("images/sprites.svg"));
    return sheet;
}

void reloadFiles()
{
    QMap<QString, QSvgRenderer *> &map = cache();
    qDeleteAll(map);
    map.clear();
    spriteSheet()->load(QStringLiteral("images/sprites.svg"));
}

bool render(QPainter &painter, const QString &name, const QRectF &target, QByteArray *missingId)
{
    if (QSvgRenderer *own = ownFile(name)) {
        own->render(&painter, target);
        return true;
    }
    const QString id = QStringLiteral("fa-") + name;
    QSvgRenderer *sheet = spriteSheet();
    if (!sheet->elementExists(id)) {
        if (missingId)
            *missingId = id.toLocal8Bit();
        return false;
    }
    sheet->render(&painter, id, target);
    return true;
}

} // namespace graphics
