#pragma once
// Shared test helpers: child processes (the real host or a small driver) and
// throw-away installations of the host laid out like a user's.

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

namespace testsupport {

struct Run
{
    bool finished = false; // false: killed after the timeout
    int status = -1;       // exit status as the shell sees it (0..255)
    bool crashed = false;
    QByteArray out;
    QByteArray err;
    QString outText() const { return QString::fromLocal8Bit(out); }
};

// The environment every child gets: headless, boxes dismissed by themselves.
QProcessEnvironment childEnvironment();

Run runProcess(const QString &program, const QStringList &args, const QString &workDir = QString(),
               int timeoutMs = 30000, const QProcessEnvironment &env = childEnvironment());

// The host as built, run on a module from tests/e2e/modules unless the
// module sits elsewhere in an installation (see Install).
QString hostBinary();
QString driverBinary(const QString &name);
QString sourcePath(const QString &relative);

// A throw-away installation: a folder into which the host executable is
// linked at a chosen relative place, with files written around it.
class Install
{
public:
    Install();
    bool isValid() const { return dir.isValid(); }
    QString root() const { return dir.path(); }
    QString path(const QString &relative) const { return dir.filePath(relative); }
    // Links (or copies) the host binary to relative path, e.g. "app/bin/orvdemo".
    QString addHost(const QString &relative);
    void writeFile(const QString &relative, const QByteArray &content);
    void mkdir(const QString &relative);
    void copyFrom(const QString &sourceFile, const QString &relative);

private:
    QTemporaryDir dir;
};

// Every byte value at least once, in random order, then random bytes:
// payloads that catch any byte a text conversion would touch.
QByteArray everyByteValue(int size);

// Lines of a child's output, for order checks.
QStringList lines(const QByteArray &out);
// Index of the first line that contains needle at or after from, or -1.
int lineIndex(const QStringList &lines, const QString &needle, int from = 0);

} // namespace testsupport
