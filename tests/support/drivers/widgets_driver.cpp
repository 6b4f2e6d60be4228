// Runs a widget script in a real QApplication and then acts on the widget
// the script stored in the global `target`, for the paths that end the
// process (a failing "onClick" or "onClose" handler).
//
//   widgets_driver <lua-code> <click|press|close|key>
//   widgets_driver <lua-code> drag <lua-call> [leave]
//
// "drag" runs the Lua call (a dragDrop) while a timer moves the pointer onto
// the widget in the global `dropTarget` and releases it there, so the drop
// travels the platform's own drag road; it needs a platform with a real drag
// loop (minimal, not offscreen, whose drags end at once). The drop as the
// target received it is printed as "driver: drop <format>=<payload>", the
// drag's image as "driver: drag image WxH hot spot X,Y". With "leave" the
// pointer moves on to the source's window before it is released there.
//
// Prints "driver: survived" and exits 0 when the action returns.
#include "luafixture.h"
#include "luax.h"

#include <QApplication>
#include <QDrag>
#include <QDropEvent>
#include <QMimeData>
#include <QWidget>
#include <QWindow>
#include <QtTest>

#include <cstdio>
#include <cstring>

namespace {

// Reports every drop the target gets, before the tracker sees it.
class DropReporter : public QObject
{
protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Drop) {
            const QMimeData *mime = static_cast<QDropEvent *>(event)->mimeData();
            for (const QString &format : mime->formats())
                printf("driver: drop %s=%s\n", qPrintable(format), mime->data(format).constData());
        }
        return false;
    }
};

QWidget *globalWidget(lua_State *L, const char *name)
{
    lua_getglobal(L, name);
    auto *w = luaX_toqobject<QWidget>(L, -1, "QWidget");
    lua_pop(L, 1);
    return w;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    if (argc < 3) {
        fprintf(stderr, "usage: widgets_driver <lua-code> <click|press|close|key>\n");
        return 2;
    }
    testsupport::LuaFixture fx;
    const QString error = fx.run(QByteArray(argv[1]));
    if (!error.isEmpty()) {
        printf("driver: script failed: %s\n", qPrintable(error));
        return 3;
    }
    QWidget *target = globalWidget(fx.L, "target");
    if (!target) {
        printf("driver: no target\n");
        return 3;
    }
    if (!QTest::qWaitForWindowExposed(target))
        printf("driver: target not exposed\n");

    const QByteArray action(argv[2]);
    const QPoint centre = target->rect().center();
    if (action == "click") {
        QTest::mouseClick(target, Qt::LeftButton, Qt::NoModifier, centre);
    } else if (action == "press") {
        QTest::mousePress(target, Qt::LeftButton, Qt::NoModifier, centre);
    } else if (action == "close") {
        target->close();
    } else if (action == "key") {
        QTest::keyClick(target, Qt::Key_A);
    } else if (action == "drag" && argc > 3) {
        QWidget *dropTarget = globalWidget(fx.L, "dropTarget");
        if (!dropTarget || !QTest::qWaitForWindowExposed(dropTarget)) {
            printf("driver: no drop target\n");
            return 3;
        }
        DropReporter reporter;
        // The filter installed last runs first: this one sees the drop
        // before the tracker does.
        dropTarget->installEventFilter(&reporter);
        QWindow *window = dropTarget->window()->windowHandle();
        const QPoint at = dropTarget->mapTo(dropTarget->window(), dropTarget->rect().center());
        QWindow *away = argc > 4 && !strcmp(argv[4], "leave") ? target->window()->windowHandle() : nullptr;
        QTimer::singleShot(20, window, [window, at, away, target] {
            if (auto *drag = target->findChild<QDrag *>()) {
                printf("driver: drag image %dx%d hot spot %d,%d\n", drag->pixmap().width(), drag->pixmap().height(),
                       drag->hotSpot().x(), drag->hotSpot().y());
            }
            QTest::mouseMove(window, at);
            QTest::mouseMove(window, at + QPoint(1, 1));
            if (away) {
                QTest::mouseMove(away, QPoint(5, 5));
                QTest::mouseRelease(away, Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
            } else {
                QTest::mouseRelease(window, Qt::LeftButton, Qt::NoModifier, at + QPoint(1, 1));
            }
        });
        // Never hang on a drag that the pointer failed to end.
        QTimer::singleShot(5000, [] { QDrag::cancel(); });
        const QString dragError = fx.run(QByteArray(argv[3]));
        if (!dragError.isEmpty())
            printf("driver: drag failed: %s\n", qPrintable(dragError));
        dropTarget->removeEventFilter(&reporter);
    } else {
        printf("driver: unknown action %s\n", action.constData());
        return 2;
    }
    printf("driver: survived\n");
    fflush(stdout);
    return 0;
}
