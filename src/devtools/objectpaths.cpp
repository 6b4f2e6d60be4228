#include "objectpaths.h"

#include <QApplication>
#include <QWidget>

namespace orvane {

namespace {

QObject *findByName(QWidget *window, const QString &name)
{
    if (window) {
        if (window->objectName() == name)
            return window;
        if (QObject *o = window->findChild<QObject *>(name))
            return o;
    }
    for (QObject *top : topLevelObjects(window)) {
        if (top->objectName() == name)
            return top;
        if (QObject *o = top->findChild<QObject *>(name))
            return o;
    }
    return nullptr;
}

} // namespace

QObjectList topLevelObjects(const QObject *except)
{
    QObjectList out;
    for (QWidget *w : QApplication::topLevelWidgets())
        if (w != except)
            out.append(w);
    return out;
}

QByteArray recordedName(QObject *object, bool *unnamed)
{
    if (unnamed)
        *unnamed = false;
    if (!object)
        return QByteArray();
    if (!object->objectName().isEmpty())
        return object->objectName().toUtf8();
    if (unnamed)
        *unnamed = true;
    QList<QByteArray> segments;
    QObject *cur = object;
    while (cur && cur->objectName().isEmpty()) {
        QObject *parent = cur->parent();
        const char *cls = cur->metaObject()->className();
        const QObjectList siblings = parent ? parent->children() : topLevelObjects();
        int index = 0;
        for (QObject *s : siblings) {
            if (s == cur)
                break;
            if (qstrcmp(s->metaObject()->className(), cls) == 0)
                ++index;
        }
        segments.prepend(QByteArray(cls) + ':' + QByteArray::number(index));
        if (!parent)
            segments.prepend("*");
        cur = parent;
    }
    if (cur)
        segments.prepend(cur->objectName().toUtf8());
    return segments.join('/');
}

QObject *findRecorded(QWidget *mainWindow, const QByteArray &name)
{
    if (QObject *o = findByName(mainWindow, QString::fromUtf8(name)))
        return o;
    if (!name.contains('/'))
        return nullptr;
    const QList<QByteArray> segments = name.split('/');
    QObject *cur = nullptr;
    QObjectList candidates;
    if (segments.first() == "*")
        candidates = topLevelObjects();
    else if ((cur = findByName(mainWindow, QString::fromUtf8(segments.first()))))
        candidates = cur->children();
    else
        return nullptr;
    for (int i = 1; i < segments.size(); ++i) {
        const QByteArray &seg = segments.at(i);
        const int colon = seg.lastIndexOf(':');
        if (colon < 0)
            return nullptr;
        const QByteArray cls = seg.left(colon);
        int index = seg.mid(colon + 1).toInt();
        cur = nullptr;
        for (QObject *c : candidates) {
            if (cls == c->metaObject()->className() && index-- == 0) {
                cur = c;
                break;
            }
        }
        if (!cur)
            return nullptr;
        candidates = cur->children();
    }
    return cur;
}

} // namespace orvane
