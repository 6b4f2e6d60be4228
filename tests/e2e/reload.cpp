// Live reload through the real host: a save of the module or of a file it
// requires starts the module again in the same window after onShutdown and
// the teardown of exit; a module that does not load, or whose onStartup
// fails, shows its error (file and line) and the host waits for the next save.
#include "testsupport.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

using namespace testsupport;

namespace {

// The module keeps its logic; each save changes only part.lua, the file it
// requires. Its window geometry is set once: a reload must keep it.
const QByteArray kModule = R"LUA(
local qt = require "qt.core"
local part = require "e2e_reload.part"
local tick
function MsgHandler(h, msg)
  if msg == "onStartup" then
    print("start " .. part.version)
    if mainWindow:property("mark") == nil then
      mainWindow:setProperty("mark", "kept")
      mainWindow:setGeometry(40, 50, 640, 360)
    end
    print("geometry " .. table.concat({mainWindow:geometry()}, " ") .. " " .. mainWindow:property("mark"))
    local panel = qt.QWidget.create(rootWidget)
    panel:setGeometry(0, 0, 100, 100)
    panel:show()
    floater = qt.QWidget.create()
    floater:setGeometry(700, 10, 50, 50)
    floater:show()
    tick = qt.Timer.create()
    tick:setTimeout(20)
    tick.onTimeout = function() print("tick " .. part.version) end
    tick:start()
    if part.fail then error("onStartup failed on purpose") end
    if part.odd then error(setmetatable({}, {__tostring = function() error("no text") end})) end
    if part.close then mainWindow:close() end
  elseif msg == "onShutdown" then
    print("bye " .. part.version)
  end
end
if part.strict then
  MsgHandler = nil
  setmetatable(_G, {__index = function(_, k) error("undefined global " .. k, 2) end})
end
)LUA";

QByteArray part(const QByteArray &fields)
{
    return "return {" + fields + "}\n";
}

// The host running in the background, its output read as it comes.
class LiveHost {
public:
    explicit LiveHost(Install &install, const QString &exe)
    {
        QProcessEnvironment env = childEnvironment();
        env.insert(QStringLiteral("ORVANE_RELOAD"), QStringLiteral("1"));
        process.setProcessEnvironment(env);
        process.setWorkingDirectory(install.root());
        process.start(exe, { QStringLiteral("e2e_reload") });
    }
    ~LiveHost()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }
    // Waits until a line after from matches; returns its index, or -1.
    int waitFor(const QRegularExpression &re, int from, int ms = 30000)
    {
        QElapsedTimer clock;
        clock.start();
        for (;;) {
            const QStringList l = lines();
            for (int i = from; i < l.size(); ++i)
                if (re.match(l.at(i)).hasMatch())
                    return i;
            if (clock.elapsed() > ms || process.state() == QProcess::NotRunning)
                return -1;
            process.waitForReadyRead(100);
            out += process.readAllStandardOutput();
        }
    }
    int waitFor(const QString &text, int from)
    {
        return waitFor(QRegularExpression(QRegularExpression::escape(text)), from);
    }
    QStringList lines() const { return QString::fromLocal8Bit(out).split(QLatin1Char('\n')); }
    int count(const QString &text, int from, int to) const
    {
        const QStringList l = lines();
        int n = 0;
        for (int i = from; i < qMin(to, int(l.size())); ++i)
            n += l.at(i) == text;
        return n;
    }

    QProcess process;
    QByteArray out;
};

} // namespace

class ReloadTest : public QObject {
    Q_OBJECT

private slots:
    void savesRestartTheModuleInTheSameWindow()
    {
        Install install;
        const QString exe = install.addHost(QStringLiteral("app/bin/orvane"));
        install.writeFile(QStringLiteral("modules/e2e_reload.lua"), kModule);
        install.writeFile(QStringLiteral("modules/e2e_reload/part.lua"), part("version = 'v1'"));
        LiveHost host(install, exe);
        const QRegularExpression figures(
            QStringLiteral("Reload: (first start|reloaded) in .*: (\\d+) handles, (\\d+) tracked"));

        int at = host.waitFor(QStringLiteral("Debug: Reload: watching 2 files of the module tree"), 0);
        QVERIFY2(at >= 0, host.out.constData());
        const QString first = host.lines().at(host.waitFor(figures, 0));
        QVERIFY(host.waitFor(QStringLiteral("geometry 40 50 640 360 kept"), 0) >= 0);
        QVERIFY(host.waitFor(QStringLiteral("tick v1"), at) >= 0);

        // A save of the required file: onShutdown once, then a new start
        // that finds the window where it was and with what it carried.
        install.writeFile(QStringLiteral("modules/e2e_reload/part.lua"), part("version = 'v2'"));
        const int changed = host.waitFor(QStringLiteral("Debug: Reload: modules/e2e_reload/part.lua changed"), at);
        QVERIFY2(changed >= 0, host.out.constData());
        const int bye = host.waitFor(QStringLiteral("bye v1"), changed);
        const int reloaded = host.waitFor(figures, changed);
        QVERIFY2(bye > changed && reloaded > bye, host.out.constData());
        QVERIFY(host.waitFor(QStringLiteral("geometry 40 50 640 360 kept"), bye) >= 0);
        QVERIFY(host.waitFor(QStringLiteral("tick v2"), reloaded) >= 0);
        QVERIFY(host.waitFor(QStringLiteral("Reload: first frame"), reloaded) >= 0);
        // The same module leaves the same objects behind it.
        const auto numbers = [&](const QString &line) {
            const QRegularExpressionMatch m = figures.match(line);
            return qMakePair(m.captured(2).toInt(), m.captured(3).toInt());
        };
        QCOMPARE(numbers(host.lines().at(reloaded)), numbers(first));

        // A file that does not compile: its error with file and line, and
        // the host waits.
        install.writeFile(QStringLiteral("modules/e2e_reload/part.lua"), "return {version = }\n");
        const int broken = host.waitFor(
            QStringLiteral("Debug: Reload: error: modules/e2e_reload/part.lua:1: unexpected symbol near '}'"),
            reloaded);
        QVERIFY2(broken >= 0, host.out.constData());
        QVERIFY(host.waitFor(QStringLiteral("Reload: error shown"), broken) >= 0);
        // The old run is gone: after the shutdown nothing of v2 ticks on.
        const int v2Gone = host.waitFor(QStringLiteral("bye v2"), reloaded);
        QVERIFY(v2Gone >= 0 && v2Gone < broken);
        QTest::qWait(300);
        host.out += host.process.readAllStandardOutput();
        QCOMPARE(host.count(QStringLiteral("tick v2"), v2Gone + 1, host.lines().size()), 0);

        // onStartup fails: the same, with the handler's file and line.
        install.writeFile(QStringLiteral("modules/e2e_reload/part.lua"), part("version = 'v3', fail = true"));
        const int failed = host.waitFor(
            QRegularExpression(
                QStringLiteral("^Debug: Reload: error: modules/e2e_reload\\.lua:\\d+: onStartup failed on purpose$")),
            broken);
        QVERIFY2(failed >= 0, host.out.constData());
        QVERIFY(host.waitFor(QStringLiteral("Reload: the module did not start"), failed) >= 0);

        // Errors only a script can make of the window's own calls: a strict
        // _G without MsgHandler, an error value whose __tostring raises.
        install.writeFile(QStringLiteral("modules/e2e_reload/part.lua"), part("version = 'v3', strict = true"));
        const int strict = host.waitFor(QStringLiteral("Debug: Reload: error: undefined global MsgHandler"), failed);
        QVERIFY2(strict >= 0, host.out.constData());
        install.writeFile(QStringLiteral("modules/e2e_reload/part.lua"), part("version = 'v3', odd = true"));
        const int odd = host.waitFor(QStringLiteral("Debug: Reload: error: (error object is a table value)"), strict);
        QVERIFY2(odd >= 0, host.out.constData());
        QVERIFY(host.waitFor(QStringLiteral("Reload: the module did not start"), odd) >= 0);

        // Fixed: it runs again, and a close ends the host as always.
        install.writeFile(QStringLiteral("modules/e2e_reload/part.lua"), part("version = 'v4', close = true"));
        QVERIFY2(host.waitFor(QStringLiteral("start v4"), odd) >= 0, host.out.constData());
        QVERIFY(host.process.waitForFinished(30000));
        host.out += host.process.readAllStandardOutput();
        QVERIFY2(host.process.exitCode() == 0, host.process.readAllStandardError().constData());
        QCOMPARE(host.count(QStringLiteral("bye v4"), failed, host.lines().size()), 1);
        QCOMPARE(host.count(QStringLiteral("bye v3"), 0, host.lines().size()), 0);
    }
};

QTEST_GUILESS_MAIN(ReloadTest)
#include "reload.moc"
