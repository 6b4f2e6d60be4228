#pragma once
// Diagnostics: the Qt message handler, output redirection and the one helper
// through which the host shows its own message boxes.

#include <QMessageBox>
#include <QString>

class QWidget;

namespace orvane {

// Output modes of redirectOutput, chosen by "-d", "-dd" and "-df".
enum OutputMode { OutputUnchanged = 0, OutputConsole = 1, OutputNewConsole = 2, OutputLogFile = 3 };

void messageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message);

void redirectOutput(int mode, const QString &moduleName);

// Shows a modal box with a single OK button and returns when it is closed.
// With ORVANE_AUTODISMISS_MS=N in the environment the box is also written to
// standard output as "Box: title: text" and accepted after N milliseconds, so
// kiosks and tests never wait on a box.
void showMessageBox(QMessageBox::Icon icon, QWidget *parent, const QString &title, const QString &text);

} // namespace orvane
