// Output faults: a log file ("-df") that cannot be created or cannot take a
// byte. The host must keep writing to the standard output it was given, run
// the module to its end and leave with the module's own status.
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>

#include <unistd.h>

using namespace testsupport;

namespace {

// Runs long enough to print from a timer, so output written well after the
// redirection attempt is checked too, then ends normally.
const QByteArray kModule = R"LUA(
local qt = require "qt.core"
local t
function MsgHandler(obj, msg, ...)
  print("MSG", msg)
  if msg == "onStartup" then
    t = qt.Timer.create()
    t:setTimeout(20)
    t:setSingleShot()
    t.onTimeout = function()
      print("LATE LINE")
      mainWindow:close()
    end
    t:start()
  end
end
)LUA";

struct Host
{
    Install install;
    QString exe;
    QString module;
    explicit Host(const QString &name)
        : module(name)
    {
        exe = install.addHost(QStringLiteral("app/bin/orvane"));
        install.writeFile(QStringLiteral("modules/") + module + QStringLiteral(".lua"), kModule);
    }
    QString logPath() const { return install.path(module + QStringLiteral(".log.txt")); }
    Run run() { return runProcess(exe, {QStringLiteral("-df"), module}, install.root(), 30000); }
};

void checkKeptStdout(const Run &r)
{
    QVERIFY2(r.finished, r.err.constData());
    QVERIFY(!r.crashed);
    QCOMPARE(r.status, 0);
    const QStringList l = lines(r.out);
    const int warning = lineIndex(l, QStringLiteral("Warning: Cannot create the log file"));
    QVERIFY2(warning >= 0, r.out.constData());
    // Everything after the failed attempt still reaches the original output,
    // in order, up to the last message of the run.
    const int startup = lineIndex(l, QStringLiteral("MSG\tonStartup"), warning);
    const int late = lineIndex(l, QStringLiteral("LATE LINE"), startup);
    const int shutdown = lineIndex(l, QStringLiteral("MSG\tonShutdown"), late);
    QVERIFY2(startup > warning && late > startup && shutdown > late, r.out.constData());
}

} // namespace

class OutputFaults : public QObject
{
    Q_OBJECT

private slots:
    void folderOfThatName()
    {
        Host h(QStringLiteral("of_folder"));
        QVERIFY(QDir().mkpath(h.logPath()));
        const Run r = h.run();
        checkKeptStdout(r);
        QVERIFY(QFileInfo(h.logPath()).isDir());
    }

    // Opening succeeds, every write fails with "no space left".
    void fullDevice()
    {
        if (!QFileInfo::exists(QStringLiteral("/dev/full")))
            QSKIP("no /dev/full here");
        Host h(QStringLiteral("of_full"));
        QVERIFY(QFile::link(QStringLiteral("/dev/full"), h.logPath()));
        const Run r = h.run();
        checkKeptStdout(r);
        QCOMPARE(QFileInfo(h.logPath()).symLinkTarget(), QStringLiteral("/dev/full"));
    }

    // A link into a folder that does not exist: the file cannot be created.
    void danglingLink()
    {
        Host h(QStringLiteral("of_dangling"));
        QVERIFY(QFile::link(h.install.path(QStringLiteral("missing/dir/x.txt")), h.logPath()));
        checkKeptStdout(h.run());
        QVERIFY(!QFileInfo::exists(h.install.path(QStringLiteral("missing"))));
    }

    // Permissions stop everyone but root, and CI runs as root; there the
    // other cases above stand in for it.
    void readOnlyFolder()
    {
        if (geteuid() == 0)
            QSKIP("root writes into read-only folders");
        Host h(QStringLiteral("of_readonly"));
        h.install.mkdir(QStringLiteral("ro"));
        const QString ro = h.install.path(QStringLiteral("ro"));
        QVERIFY(QFile::setPermissions(ro, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        const Run r = runProcess(h.exe, {QStringLiteral("-df"), h.module}, ro, 30000);
        QFile::setPermissions(ro, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        checkKeptStdout(r);
        QVERIFY(QDir(ro).isEmpty());
    }
};

QTEST_GUILESS_MAIN(OutputFaults)
#include "outputfaults.moc"
