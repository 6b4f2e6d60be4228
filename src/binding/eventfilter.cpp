// Turns the Qt events of every tracked object into MsgHandler messages. The
// left button is a touch. Presses, releases and close requests can be
// consumed by the script's answer; everything else reaches the widget anyway.
#include "tracker.h"

#include <QDebug>
#include <QDropEvent>
#include <QKeyEvent>
#include <QMimeData>
#include <QMouseEvent>
#include <QPointer>
#include <QMoveEvent>
#include <QResizeEvent>
#include <QTimer>
#include <QWidget>

namespace {

const char kDragFormat[] = "application/vnd.lua.dragdrop";

const char *keyName(int key)
{
    switch (key) {
    case Qt::Key_Escape:
        return "escape";
    case Qt::Key_Return:
    case Qt::Key_Enter:
        return "enter";
    case Qt::Key_Left:
        return "left";
    case Qt::Key_Up:
        return "up";
    case Qt::Key_Right:
        return "right";
    case Qt::Key_Down:
        return "down";
    default:
        return nullptr;
    }
}

bool hasMarker(const QMimeData *mime)
{
    return mime && mime->formats().contains(QLatin1String(kDragFormat))
        && mime->data(QLatin1String(kDragFormat)) == "dragdrop";
}

} // namespace

bool ObjectTracker::eventFilter(QObject *watched, QEvent *event)
{
    // A handler may delete the watched object (a dialog's exec deletes it on
    // the spot, a nested loop runs its deferred delete) or even this
    // tracker. Qt reads the receiver again after a filter that lets the event
    // pass, so an event whose receiver is gone is consumed; and nothing of
    // this tracker is read after a dispatch.
    QPointer<QObject> alive(watched);
    lua_State *L = state;
    bool consume = false;
    switch (event->type()) {
    case QEvent::DeferredDelete:
        // A modal loop run from an onPaint handler (msgBox, exec) also runs
        // the deletes that handlers inside it ask for: the widget being
        // painted, or a parent of it, waits until its paint has ended.
        if (watched->isWidgetType()) {
            auto *widget = static_cast<QWidget *>(watched);
            for (const QPointer<QWidget> &painted : qAsConst(painting)) {
                if (painted && (painted == widget || widget->isAncestorOf(painted))) {
                    QTimer::singleShot(10, watched, [watched] { watched->deleteLater(); });
                    return true;
                }
            }
        }
        break;
    case QEvent::MouseButtonPress: {
        auto *e = static_cast<QMouseEvent *>(event);
        if (e->button() == Qt::LeftButton)
            consume = dispatch(watched, "onTouchPress", "%d %d", e->pos().x(), e->pos().y()) != 0;
        else if (e->button() == Qt::RightButton)
            consume = dispatch(watched, "onRightClick", "%d %d", e->pos().x(), e->pos().y()) != 0;
        break;
    }
    case QEvent::MouseButtonRelease: {
        auto *e = static_cast<QMouseEvent *>(event);
        if (e->button() == Qt::LeftButton)
            consume = dispatch(watched, "onTouchRelease", "%d %d", e->pos().x(), e->pos().y()) != 0;
        break;
    }
    case QEvent::MouseMove: {
        auto *e = static_cast<QMouseEvent *>(event);
        dispatch(watched, "onTouchMove", "%d %d", e->pos().x(), e->pos().y());
        break;
    }
    case QEvent::KeyPress: {
        auto *e = static_cast<QKeyEvent *>(event);
        qDebug() << "QtObjectTracker::eventFilter::KeyPress" << watched << event << e->key();
        const char *fixed = keyName(e->key());
        const QByteArray text = fixed ? QByteArray(fixed) : e->text().toLocal8Bit();
        char mods[4];
        int n = 0;
        if (e->modifiers() & Qt::ControlModifier)
            mods[n++] = 'c';
        if (e->modifiers() & Qt::AltModifier)
            mods[n++] = 'a';
        if (e->modifiers() & Qt::ShiftModifier)
            mods[n++] = 's';
        mods[n] = '\0';
        dispatch(watched, "onKeyPress", "%s %s %d", text.constData(), mods, e->key());
        break;
    }
    case QEvent::Move: {
        auto *e = static_cast<QMoveEvent *>(event);
        dispatch(watched, "onMove", "%d %d", e->pos().x(), e->pos().y());
        return !alive; // the stack of an enclosing call is left alone
    }
    case QEvent::Resize: {
        auto *e = static_cast<QResizeEvent *>(event);
        dispatch(watched, "onResize", "%d %d", e->size().width(), e->size().height());
        return !alive;
    }
    case QEvent::Close:
        consume = dispatch(watched, "onClose", nullptr) != 0;
        // Filtering alone is not enough: QWidget::close() looks at the
        // event's accepted flag, which starts out set, and would hide the
        // window anyway.
        if (consume)
            event->ignore();
        break;
    case QEvent::DragEnter:
    case QEvent::DragMove: {
        auto *e = static_cast<QDragMoveEvent *>(event);
        if (hasMarker(e->mimeData())) {
            dispatch(watched, event->type() == QEvent::DragEnter ? "onDragEnter" : "onDragMove", nullptr);
            e->acceptProposedAction();
        }
        break;
    }
    case QEvent::DragLeave:
        dispatch(watched, "onDragLeave", nullptr);
        event->accept();
        break;
    case QEvent::Drop: {
        auto *e = static_cast<QDropEvent *>(event);
        QObject *source = e->source();
        if (hasMarker(e->mimeData()) && source && source->property("lua").isValid()) {
            dispatch(watched, "onDrop", "%o", source);
            e->accept();
        }
        break;
    }
    default:
        return false;
    }
    // Script calls that open a dialog or close a window re-enter here from
    // inside a running script call; the event's own values must not pile up
    // on that call's stack.
    lua_settop(L, 0);
    return consume || !alive;
}
