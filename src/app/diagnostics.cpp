#include "diagnostics.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace orvane {

namespace {

#ifndef Q_OS_WIN
// Points standard output at fd, leaving it untouched when fd is invalid.
bool replaceStdout(int fd)
{
    if (fd < 0)
        return false;
    fflush(stdout);
    const bool ok = dup2(fd, STDOUT_FILENO) >= 0;
    close(fd);
    return ok;
}

// POSIX stand-in for the Windows console modes: output that already reaches
// a terminal stays; otherwise it goes to the controlling terminal, if any.
void attachTerminal()
{
    if (isatty(STDOUT_FILENO))
        return;
    // stdio chose full buffering when output was a pipe or file; a console
    // that shows its lines only in blocks is no use for watching a run.
    if (replaceStdout(open("/dev/tty", O_WRONLY | O_CLOEXEC)))
        setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
}
#endif

} // namespace

void messageHandler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    const QByteArray local = message.toLocal8Bit();
    switch (type) {
    case QtDebugMsg:
        fprintf(stdout, "Debug: %s\n", local.constData());
        break;
    case QtWarningMsg:
        fprintf(stdout, "Warning: %s\n", local.constData());
        break;
    case QtCriticalMsg:
        fprintf(stdout, "Critical: %s\n", local.constData());
        fflush(stderr);
        fflush(stdout);
        showMessageBox(QMessageBox::Critical, canShowBox() ? QApplication::activeWindow() : nullptr,
                       QStringLiteral("Critical Error"), QString::fromUtf8(local));
        QCoreApplication::quit();
        exit(-1);
    case QtFatalMsg:
        fprintf(stdout, "Fatal: %s\n", local.constData());
        fflush(stdout);
        showMessageBox(QMessageBox::Critical, nullptr, QStringLiteral("Fatal Error"), QString::fromUtf8(local));
        abort();
    default:
        // Informational messages of later Qt versions are not ours to print.
        break;
    }
}

void redirectOutput(int mode, const QString &moduleName)
{
    switch (mode) {
    case OutputUnchanged:
        return;
    case OutputLogFile: {
        QString name = moduleName;
        if (!name.isEmpty())
            name += QLatin1Char('.');
        name += QLatin1String("log.txt");
        const QByteArray path = name.toLocal8Bit();
#ifdef Q_OS_WIN
        FILE *f = nullptr;
        if (freopen_s(&f, path.constData(), "wt", stdout) != 0) {
            qWarning("Cannot create the log file %s: standard output stays as it was", path.constData());
            return;
        }
#else
        int fd = open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        // A file that opens but takes no bytes (a full device, a link to
        // /dev/full) would swallow every line: an empty write already fails
        // there and costs nothing on a healthy file.
        if (fd >= 0 && write(fd, "", 0) < 0) {
            close(fd);
            fd = -1;
        }
        if (fd < 0 || !replaceStdout(fd)) {
            qWarning("Cannot create the log file %s: standard output stays as it was", path.constData());
            return;
        }
#endif
        // Unbuffered, so the log can be read while the program runs.
        setbuf(stdout, nullptr);
        return;
    }
    case OutputConsole:
#ifdef Q_OS_WIN
        if (AttachConsole(ATTACH_PARENT_PROCESS) || AllocConsole()) {
            FILE *f = nullptr;
            freopen_s(&f, "CONOUT$", "wt", stdout);
            SetConsoleTitleW(L"Debug Console");
        }
#else
        attachTerminal();
#endif
        return;
    default:
#ifdef Q_OS_WIN
        if (AllocConsole()) {
            FILE *f = nullptr;
            freopen_s(&f, "CONOUT$", "wt", stdout);
            SetConsoleTitleW(L"Debug Console");
        }
#else
        attachTerminal();
#endif
        return;
    }
}

} // namespace orvane
