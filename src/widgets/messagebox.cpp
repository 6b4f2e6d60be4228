#include "messagebox.h"

#include <QApplication>
#include <QPointer>
#include <QThread>
#include <QTimer>

#include <cstdio>

namespace orvane {

namespace {

int autoDismissMs()
{
    bool ok = false;
    const int ms = qEnvironmentVariableIntValue("ORVANE_AUTODISMISS_MS", &ok);
    return ok && ms >= 0 ? ms : -1;
}

} // namespace

// Boxes need a widget application that is fully built (a fatal message
// while it starts, such as "no Qt platform plugin could be initialized",
// comes from inside its constructor, when there is no platform to show a
// box on) and the GUI thread; anywhere else the line on standard output is
// all we can give.
bool canShowBox()
{
    if (QCoreApplication::startingUp() || QCoreApplication::closingDown())
        return false;
    auto *app = qobject_cast<QApplication *>(QCoreApplication::instance());
    return app && QThread::currentThread() == app->thread();
}

void showMessageBox(QMessageBox::Icon icon, QWidget *parent, const QString &title, const QString &text)
{
    const int dismissMs = autoDismissMs();
    if (dismissMs >= 0) {
        QString flat = text;
        flat.replace(QLatin1Char('\n'), QLatin1String("\\n"));
        fprintf(stdout, "Box: %s: %s\n", title.toLocal8Bit().constData(), flat.toLocal8Bit().constData());
        fflush(stdout);
    }
    if (!canShowBox())
        return;
    // On the heap and guarded: a handler running in the box's loop may
    // destroy the parent, which then deletes the box with it.
    QPointer<QMessageBox> box = new QMessageBox(icon, title, text, QMessageBox::Ok, parent);
    if (dismissMs >= 0)
        QTimer::singleShot(dismissMs, box, [box] { box->done(QMessageBox::Ok); });
    box->exec();
    delete box.data();
}

} // namespace orvane
