#pragma once
// Diagnostics: the Qt message handler and output redirection. Critical
// messages are shown with the host's one message-box helper.

#include "widgets/messagebox.h"

#include <QString>

namespace orvane {

// Output modes of redirectOutput, chosen by "-d", "-dd" and "-df".
enum OutputMode { OutputUnchanged = 0, OutputConsole = 1, OutputNewConsole = 2, OutputLogFile = 3 };

void messageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message);

void redirectOutput(int mode, const QString &moduleName);

} // namespace orvane
