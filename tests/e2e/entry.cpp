// The host's entry: where the module name comes from, the single-instance
// guard between copies, and the output options. A first copy keeps running
// until it is closed, so each test starts it in the background and kills it;
// with "-df" its log file shows when it is past the guard and the lookups.
#include "testsupport.h"

#include <QDir>
#include <QProcess>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

using namespace testsupport;

namespace {

constexpr int StartMs = 20000;

QString unique(const QString &stem)
{
    return stem + QLatin1Char('_') + QString::number(QCoreApplication::applicationPid());
}

QByteArray fileText(const QString &path)
{
    QFile f(path);
    return f.open(QFile::ReadOnly) ? f.readAll() : QByteArray();
}

// The last lookup of the start-up: the host is past the guard, the output
// redirection and every resource.
bool pastLookups(const QByteArray &out)
{
    for (const QString &line : lines(out))
        if (line.startsWith(QLatin1String("Debug: found ")) && line.endsWith(QLatin1String("digital-7 (mono italic).ttf\"")))
            return true;
    return false;
}

enum Terminal {
    NoTerminal,
    TerminalOutput,     // standard output is a terminal, read by the test
    ControllingTerminal // output is a pipe, but the process has a terminal of its own
};

// A copy of the host left running in the background; killed when the test ends.
// The terminal is a pseudo-terminal read by the test; as standard output it
// also makes the lines arrive one by one instead of in pipe-sized blocks.
class Host
{
public:
    Host(const QString &program, QStringList args, const QString &workDir, Terminal terminal = NoTerminal)
    {
        proc.setProcessEnvironment(childEnvironment());
        proc.setWorkingDirectory(workDir);
        proc.setStandardErrorFile(QProcess::nullDevice());
        QString run = program;
        if (terminal != NoTerminal) {
            master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
            if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0) {
                fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
                const QString slave = QString::fromLocal8Bit(ptsname(master));
                if (terminal == TerminalOutput) {
                    proc.setStandardOutputFile(slave);
                } else {
                    // A new session whose controlling terminal is the one on standard input.
                    proc.setStandardInputFile(slave);
                    args.prepend(program);
                    args.prepend(QStringLiteral("--ctty"));
                    run = QStringLiteral("setsid");
                }
            }
        }
        proc.start(run, args);
    }
    ~Host()
    {
        kill();
        if (master >= 0)
            close(master);
    }
    bool running() const { return proc.state() == QProcess::Running; }
    void kill()
    {
        if (proc.state() != QProcess::NotRunning) {
            proc.kill();
            proc.waitForFinished(5000);
        }
    }
    // Everything written to the terminal so far, without the terminal's carriage returns.
    QByteArray terminal()
    {
        char buf[4096];
        ssize_t n;
        while (master >= 0 && (n = read(master, buf, sizeof buf)) > 0)
            screen.append(buf, int(n));
        return QByteArray(screen).replace('\r', "");
    }

    QProcess proc;

private:
    int master = -1;
    QByteArray screen;
};

// An installation whose modules only keep the host running, the host two
// levels below the root where the module search starts.
struct Idle
{
    explicit Idle(const QStringList &modules, const QString &executable = QStringLiteral("orvane"))
    {
        exe = install.addHost(QLatin1String("app/bin/") + executable);
        for (const QString &module : modules)
            install.writeFile(QLatin1String("modules/") + module + QLatin1String(".lua"), "function MsgHandler() end\n");
    }
    Install install;
    QString exe;
};

QString boxLine(const QString &module)
{
    return QLatin1String("Box: Orvane ") + module
        + QLatin1String(": Launch abandoned!\\n\\nAnother copy of the program is already running.");
}

} // namespace

class Entry : public QObject
{
    Q_OBJECT

private slots:
    void logFileWhileRunning_data();
    void logFileWhileRunning();
    void firstOutputOptionWins_data();
    void firstOutputOptionWins();
    void uncreatableLogKeepsStdout();
    void consoleOptionUsesTheTerminal();
    void moduleFromExecutableName_data();
    void moduleFromExecutableName();
    void noModuleName_data();
    void noModuleName();
    void secondCopyLeaves();
    void differentModulesRunSideBySide();
    void killedFirstCopyDoesNotBlock();
    void withoutDisplayEndsThroughTheFatalPath();
};

void Entry::logFileWhileRunning_data()
{
    QTest::addColumn<QString>("stem");
    QTest::addColumn<QStringList>("args");
    QTest::newRow("-df before -d") << QStringLiteral("entry_log_a")
                                   << QStringList{QStringLiteral("-df"), QStringLiteral("-d"), QStringLiteral("@")};
    QTest::newRow("options after the module")
        << QStringLiteral("entry_log_b")
        << QStringList{QStringLiteral("-s"), QStringLiteral("@"), QStringLiteral("-df"), QStringLiteral("-dd")};
    QTest::newRow("-q in a first copy") << QStringLiteral("entry_log_c")
                                        << QStringList{QStringLiteral("-q"), QStringLiteral("-df"), QStringLiteral("@")};
}

void Entry::logFileWhileRunning()
{
    QFETCH(QString, stem);
    QFETCH(QStringList, args);
    const QString module = unique(stem);
    args.replaceInStrings(QStringLiteral("@"), module);
    Idle idle({module});
    QTemporaryDir work;
    Host host(idle.exe, args, work.path());

    const QString log = work.filePath(module + QLatin1String(".log.txt"));
    QTRY_VERIFY_WITH_TIMEOUT(pastLookups(fileText(log)), StartMs);
    QVERIFY(fileText(log).contains("Debug: findResource \"stylesheet.css\"\n"));
    QVERIFY2(host.running(), "the log was read before the host ended");
    QCOMPARE(QDir(work.path()).entryList(QDir::Files), QStringList{module + QLatin1String(".log.txt")});

    host.kill();
    // Only what came before the redirection reached the original output.
    const QByteArray out = host.proc.readAllStandardOutput();
    QVERIFY2(out.contains("Debug: Found \"" + module.toUtf8() + "\"\n"), out.constData());
    QVERIFY2(!out.contains("findResource"), out.constData());
}

void Entry::firstOutputOptionWins_data()
{
    QTest::addColumn<QString>("first");
    QTest::newRow("-d") << QStringLiteral("-d");
    QTest::newRow("-dd") << QStringLiteral("-dd");
}

void Entry::firstOutputOptionWins()
{
    QFETCH(QString, first);
    const QString module = unique(QLatin1String("entry_first") + first);
    Idle idle({module});
    QTemporaryDir work;
    // A terminal on standard output stays where it is for the console options.
    Host host(idle.exe, {first, QStringLiteral("-df"), module}, work.path(), TerminalOutput);
    QTRY_VERIFY_WITH_TIMEOUT(pastLookups(host.terminal()), StartMs);
    QVERIFY(host.running());
    QVERIFY(host.terminal().contains("Debug: Found \"" + module.toUtf8() + "\"\n"));
    QCOMPARE(QDir(work.path()).entryList(QDir::Files), QStringList());
}

void Entry::uncreatableLogKeepsStdout()
{
    const QString module = unique(QStringLiteral("entry_nolog"));
    Idle idle({module});
    QTemporaryDir work;
    QVERIFY(QDir(work.path()).mkdir(module + QLatin1String(".log.txt")));
    Host host(idle.exe, {QStringLiteral("-df"), module}, work.path(), TerminalOutput);
    QTRY_VERIFY_WITH_TIMEOUT(pastLookups(host.terminal()), StartMs);
    QVERIFY(host.running());
    const QStringList out = lines(host.terminal());
    const int warning = lineIndex(out, QStringLiteral("Warning: Cannot create the log file"));
    QVERIFY2(warning >= 0, qPrintable(out.join(QLatin1Char('\n'))));
    QVERIFY(out.at(warning).startsWith(QLatin1String("Warning: Cannot create the log file")));
    QVERIFY(lineIndex(out, QStringLiteral("Debug: findResource")) > warning);
}

void Entry::consoleOptionUsesTheTerminal()
{
    const QString module = unique(QStringLiteral("entry_console"));
    Idle idle({module});
    QTemporaryDir work;
    Host host(idle.exe, {QStringLiteral("-d"), module}, work.path(), ControllingTerminal);
    // Standard output was a pipe: what follows the option goes to the terminal instead.
    QTRY_VERIFY_WITH_TIMEOUT(pastLookups(host.terminal()), StartMs);
    QVERIFY(host.running());
    host.kill();
    const QByteArray out = host.proc.readAllStandardOutput();
    QVERIFY2(out.contains("Debug: Found \"" + module.toUtf8() + "\"\n"), out.constData());
    QVERIFY2(!out.contains("findResource"), out.constData());
    QVERIFY(!host.terminal().contains("Debug: Found"));
}

void Entry::moduleFromExecutableName_data()
{
    const QString stem = unique(QStringLiteral("exe"));
    const QString arg = unique(QStringLiteral("arg"));
    QTest::addColumn<QString>("executable");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("module");
    QTest::newRow("orv prefix") << QLatin1String("orv") + stem << QStringList() << stem;
    QTest::newRow("suffix dropped") << QLatin1String("orvx") + stem + QLatin1String(".v2.bin") << QStringList()
                                    << QLatin1String("x") + stem;
    QTest::newRow("argument wins") << QLatin1String("orvy") + stem << QStringList{arg} << arg;
    QTest::newRow("empty argument stops the scan")
        << QLatin1String("orvz") + stem << QStringList{QString(), QLatin1String("z") + arg} << QLatin1String("z") + stem;
}

void Entry::moduleFromExecutableName()
{
    QFETCH(QString, executable);
    QFETCH(QStringList, args);
    QFETCH(QString, module);
    Idle idle({module}, executable);
    QTemporaryDir work;
    Host host(idle.exe, args << QStringLiteral("-df"), work.path());
    QTRY_VERIFY_WITH_TIMEOUT(pastLookups(fileText(work.filePath(module + QLatin1String(".log.txt")))), StartMs);
    QCOMPARE(QDir(work.path()).entryList(QDir::Files), QStringList{module + QLatin1String(".log.txt")});
}

void Entry::noModuleName_data()
{
    QTest::addColumn<QString>("executable");
    QTest::newRow("prefix is case-sensitive") << QStringLiteral("ORVdemo");
    QTest::newRow("no prefix") << QStringLiteral("demo");
    QTest::newRow("prefix alone") << QStringLiteral("orv.bin");
}

void Entry::noModuleName()
{
    QFETCH(QString, executable);
    Install install;
    const QString exe = install.addHost(QLatin1String("bin/") + executable);
    const Run run = runProcess(exe, {QStringLiteral("-df"), QStringLiteral("-s")}, install.root());
    QVERIFY(run.finished);
    QVERIFY(!run.crashed);
    QCOMPARE(run.status, 0);
    QCOMPARE(run.outText(), QStringLiteral("Debug: Missing argument: module\n"));
}

void Entry::secondCopyLeaves()
{
    const QString module = unique(QStringLiteral("entry_second"));
    Idle idle({module});
    QTemporaryDir work;
    const QString log = work.filePath(module + QLatin1String(".log.txt"));
    Host first(idle.exe, {QStringLiteral("-df"), module}, work.path());
    QTRY_VERIFY_WITH_TIMEOUT(pastLookups(fileText(log)), StartMs);

    // In the first copy's directory and with "-df": a second copy must leave
    // before it touches the output, so the first copy's log survives.
    Run run = runProcess(hostBinary(), {module, QStringLiteral("-df")}, work.path());
    QVERIFY(run.finished);
    QCOMPARE(run.status, 0);
    QStringList out = lines(run.out);
    const int already = lineIndex(out, QStringLiteral("Debug: Instance already running!"));
    QVERIFY2(already >= 0, run.out.constData());
    QCOMPARE(out.indexOf(boxLine(module)), already + 1);
    QVERIFY(!run.out.contains("findResource"));
    QVERIFY(pastLookups(fileText(log)));

    run = runProcess(hostBinary(), {QStringLiteral("-q"), module}, work.path());
    QVERIFY(run.finished);
    QCOMPARE(run.status, 0);
    QVERIFY2(run.out.contains("Debug: Instance already running!\n"), run.out.constData());
    QVERIFY2(!run.out.contains("Box:"), run.out.constData());

    QVERIFY(first.running());
}

void Entry::differentModulesRunSideBySide()
{
    const QString one = unique(QStringLiteral("entry_side_a"));
    const QString two = unique(QStringLiteral("entry_side_b"));
    Idle idle({one, two});
    QTemporaryDir work;
    Host first(idle.exe, {QStringLiteral("-df"), one}, work.path());
    QTRY_VERIFY_WITH_TIMEOUT(pastLookups(fileText(work.filePath(one + QLatin1String(".log.txt")))), StartMs);
    Host second(idle.exe, {QStringLiteral("-df"), two}, work.path());
    QTRY_VERIFY_WITH_TIMEOUT(pastLookups(fileText(work.filePath(two + QLatin1String(".log.txt")))), StartMs);
    QVERIFY(first.running());
    QVERIFY(second.running());
}

void Entry::killedFirstCopyDoesNotBlock()
{
    const QString module = unique(QStringLiteral("entry_killed"));
    Idle idle({module});
    QTemporaryDir dead, alive;
    const QString name = module + QLatin1String(".log.txt");
    {
        Host crashed(idle.exe, {QStringLiteral("-df"), module}, dead.path());
        QTRY_VERIFY_WITH_TIMEOUT(pastLookups(fileText(dead.filePath(name))), StartMs);
        crashed.kill(); // SIGKILL: its lock and socket stay behind
        QCOMPARE(crashed.proc.exitStatus(), QProcess::CrashExit);
    }
    Host next(idle.exe, {QStringLiteral("-df"), module}, alive.path());
    QTRY_VERIFY_WITH_TIMEOUT(pastLookups(fileText(alive.filePath(name))), StartMs);

    // The new copy is the first copy now: it turns later ones away.
    const Run run = runProcess(hostBinary(), {module}, alive.path());
    QVERIFY(run.finished);
    QCOMPARE(run.status, 0);
    QVERIFY2(lines(run.out).contains(boxLine(module)), run.out.constData());
    QVERIFY(next.running());
}

// No display and no platform chosen: Qt's own fatal message ends the host
// through the fatal path (abort, status 134 in a shell), not a segmentation
// fault from a message box that has no platform to appear on.
void Entry::withoutDisplayEndsThroughTheFatalPath()
{
    QProcessEnvironment env = childEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "ORVANE_AUTODISMISS_MS"})
        env.remove(QLatin1String(name));
    Install install;
    const Run run = runProcess(hostBinary(), {unique(QStringLiteral("entry_nodisplay"))}, install.root(), 30000, env);
    QVERIFY(run.finished);
    QVERIFY2(run.out.contains("Fatal: This application failed to start because no Qt platform plugin could be initialized"),
             run.out.constData());
    QVERIFY(run.crashed);
    QCOMPARE(run.status, int(SIGABRT));
}

QTEST_GUILESS_MAIN(Entry)
#include "entry.moc"

