#include "recorder.h"
#include "modulelocator.h"
#include "objectpaths.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QKeyEvent>
#include <QMouseEvent>

namespace orvane {

namespace {

bool isAncestor(const QObject *ancestor, const QObject *object)
{
    for (const QObject *o = object ? object->parent() : nullptr; o; o = o->parent())
        if (o == ancestor)
            return true;
    return false;
}

} // namespace

Recorder::Recorder(QObject *parent, const QString &path)
    : QObject(parent)
    , file(path)
{
    clock.start();
}

void Recorder::write(const QByteArray &line)
{
    file.write(line);
    file.flush(); // a crash still leaves everything up to it
}

bool Recorder::open(const QByteArray &module)
{
    if (!file.open(QFile::WriteOnly | QFile::Truncate | QFile::Text)) {
        qWarning("Cannot record into %s: %s", file.fileName().toLocal8Bit().constData(),
            file.errorString().toLocal8Bit().constData());
        return false;
    }
    write("-- Recorded by orvane " + QDateTime::currentDateTime().toString(Qt::ISODate).toLatin1() + ".\n");
    write("-- Replay: ORVANE_DRIVER=" + file.fileName().toLocal8Bit() + " orvane " + module + "\n");
    write("local t = require \"orvane.test\"\n");
    QCoreApplication::instance()->installEventFilter(this);
    return true;
}

bool Recorder::eventFilter(QObject *watched, QEvent *event)
{
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseMove:
    case QEvent::KeyPress:
    case QEvent::Close:
        // Only what reaches a script: objects with a handle carry the
        // interpreter in their "lua" property.
        if (watched->property("lua").isValid())
            record(watched, event);
        break;
    default:
        break;
    }
    return false;
}

void Recorder::record(QObject *watched, QEvent *event)
{
    QByteArray action;
    QPoint global;
    ulong timestamp = 0;
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseMove: {
        auto *e = static_cast<QMouseEvent *>(event);
        const char *verb = nullptr;
        if (event->type() == QEvent::MouseMove)
            verb = "move";
        else if (e->button() == Qt::LeftButton)
            verb = event->type() == QEvent::MouseButtonPress ? "press" : "release";
        else if (e->button() == Qt::RightButton && event->type() == QEvent::MouseButtonPress)
            verb = "rightClick";
        if (!verb)
            return;
        action = QByteArray(verb) + "(%1, " + QByteArray::number(e->pos().x()) + ", " + QByteArray::number(e->pos().y())
            + ")\n";
        global = e->globalPos();
        timestamp = e->timestamp();
        break;
    }
    case QEvent::KeyPress: {
        auto *e = static_cast<QKeyEvent *>(event);
        QByteArray mods;
        if (e->modifiers() & Qt::ControlModifier)
            mods += 'c';
        if (e->modifiers() & Qt::AltModifier)
            mods += 'a';
        if (e->modifiers() & Qt::ShiftModifier)
            mods += 's';
        if (e->modifiers() & Qt::MetaModifier)
            mods += 'm';
        action = "key(%1, " + QByteArray::number(e->key()) + ", " + luaQuote(e->text().toUtf8()) + ", " + luaQuote(mods)
            + ")\n";
        timestamp = e->timestamp();
        global = QPoint(e->key(), 0);
        break;
    }
    case QEvent::Close:
        if (!watched->isWidgetType())
            return;
        action = "close(%1)\n";
        break;
    default:
        return;
    }
    // Qt offers an event nobody took to the parents in turn; replaying the
    // first receiver's line makes those again.
    if (prevTarget && isAncestor(watched, prevTarget) && prevType == event->type() && prevTimestamp == timestamp
        && prevGlobal == global)
        return;
    prevTarget = watched;
    prevType = event->type();
    prevTimestamp = timestamp;
    prevGlobal = global;

    bool unnamed = false;
    const QByteArray name = recordedName(watched, &unnamed);
    if (unnamed && !warned.contains(watched)) {
        warned.insert(watched);
        qWarning("Recording: a %s has no object name; it is recorded by its path of parents %s",
            watched->metaObject()->className(), name.constData());
        write("-- warning: a " + QByteArray(watched->metaObject()->className())
            + " without an object name, recorded by its path of parents\n");
    }
    const qint64 now = clock.elapsed();
    if (now > last)
        write("t.wait(" + QByteArray::number(now - last) + ")\n");
    last = now;
    write("t." + action.replace("%1", luaQuote(name)));
}

} // namespace orvane
