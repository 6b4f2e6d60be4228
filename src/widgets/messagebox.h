#pragma once
// The one helper through which the host shows its own message boxes: the
// script's msgBox, the shell's "already running" and "cannot find" boxes, and
// critical Qt messages all come here.

#include <QMessageBox>
#include <QString>

class QWidget;

namespace orvane {

// Shows a modal box with a single OK button and returns when it is closed.
// With ORVANE_AUTODISMISS_MS=N in the environment the box is also written to
// standard output as "Box: title: text" and accepted after N milliseconds, so
// kiosks and tests never wait on a box.
void showMessageBox(QMessageBox::Icon icon, QWidget *parent, const QString &title, const QString &text);

// Boxes need a widget application and the GUI thread; anywhere else the line
// on standard output is all the helper can give.
bool canShowBox();

} // namespace orvane
