// Driver files through the real host: the orvane.test library's input reaches
// the module's MsgHandler as real Qt input, waits leave the event loop
// running, results decide the exit status, and without ORVANE_DRIVER the run
// is exactly what it was.
#include "testsupport.h"

#include <QDir>
#include <QDirIterator>
#include <QRegularExpression>
#include <QTest>

using namespace testsupport;

namespace {

// Logs every message with its arguments into the global table msgs (the
// driver shares the interpreter and reads it) and onto standard output.
const QByteArray kInputModule = R"LUA(
local qt = require "qt.core"
msgs = {}
local names = {}
function MsgHandler(h, msg, ...)
  local parts = {msg}
  local args = table.pack(...)
  for i = 1, args.n do parts[#parts + 1] = tostring(args[i]) end
  local line = (names[h] or "-") .. " " .. table.concat(parts, " ")
  if msg ~= "onPaint" and msg ~= "onMove" and msg ~= "onResize" then
    msgs[#msgs + 1] = line
    print("MSG", line)
  end
  if msg == "onStartup" then
    pad = qt.QWidget.create(rootWidget)
    pad:setName("pad")
    pad:setGeometry(10, 10, 200, 100)
    pad:show()
    names[pad] = "pad"
    edit = qt.QLineEdit.create(rootWidget)
    edit:setName("edit")
    edit:setGeometry(10, 120, 200, 30)
    edit:show()
    names[edit] = "edit"
    floater = qt.QWidget.create()
    floater:setName("floater")
    floater:setGeometry(300, 300, 80, 80)
    floater:show()
    names[floater] = "floater"
    slider = qt.QWidget.create(rootWidget)
    slider:setName("slider")
    slider:setGeometry(0, 300, 50, 50)
    slider:show()
  elseif msg == "onClose" and h == floater then
    return keepFloater and 1 or nil
  end
end
)LUA";

struct Host
{
    Install install;
    QString exe;
    Host() { exe = install.addHost(QStringLiteral("app/bin/orvane")); }
    Run run(const QString &module, const QByteArray &driver, int timeoutMs = 60000)
    {
        QProcessEnvironment env = childEnvironment();
        if (!driver.isNull()) {
            install.writeFile(QStringLiteral("driver.lua"), driver);
            env.insert(QStringLiteral("ORVANE_DRIVER"), install.path(QStringLiteral("driver.lua")));
        }
        return runProcess(exe, {module}, install.root(), timeoutMs, env);
    }
};

// Addresses and times differ from run to run; everything else must not.
QString normalized(const QByteArray &out)
{
    QString text = QString::fromLocal8Bit(out);
    text.replace(QRegularExpression(QStringLiteral("0x[0-9a-fA-F]+")), QStringLiteral("ADDR"));
    text.replace(QRegularExpression(QStringLiteral("XDG_RUNTIME_DIR[^\n]*\n")), QString());
    return text;
}

const QByteArray kInputDriver = R"LUA(
local t = require "orvane.test"
local function has(line)
  for _, m in ipairs(msgs) do if m == line then return true end end
  return false
end
local function expect(id, line) t.check(id, has(line), "no message: " .. line) end
t.press("pad", 5, 6); t.move("pad", 7, 8); t.release("pad", 9, 10)
expect("press", "pad onTouchPress 5 6")
expect("move", "pad onTouchMove 7 8")
expect("release", "pad onTouchRelease 9 10")
t.rightClick("pad", 11, 12)
expect("right", "pad onRightClick 11 12")
t.tap("pad")
expect("tap centre", "pad onTouchPress 99 49")
t.key("pad", "a", "A", "cs")
expect("key mods", "pad onKeyPress A cs 65")
t.key("pad", "enter")
expect("key named", "pad onKeyPress enter  16777220")
t.tap("edit"); t.type("edit", "hé!"); t.key("edit", "backspace")
t.check("edit text", t.text("edit") == "hé", "text " .. t.text("edit"))
t.check("edit key", has("edit onKeyPress h  72"), "no key message for h")
keepFloater = true
t.close("floater")
t.check("close refused", t.visible("floater") and has("floater onClose"), "floater closed")
keepFloater = false
t.close("floater")
t.check("close accepted", not t.visible("floater"), "floater still shown")
t.check("missing name", t.find("nobody") == nil and not pcall(t.tap, "nobody"), "found a widget named nobody")
t.check("path", t.path("edit") == "edit" and t.find("MainWindow") == mainWindow, t.path("edit"))
)LUA";

const QByteArray kWaitDriver = R"LUA(
local t = require "orvane.test"
local qt = require "qt.core"
local ticks = 0
local timer = qt.Timer.create()
timer:setTimeout(20)
timer.onTimeout = function() ticks = ticks + 1 end
timer:start()
local t0 = t.now()
t.wait(200)
local waited = t.now() - t0
t.check("wait lasts", waited >= 190, "waited " .. waited)
t.check("timers ran during wait", ticks >= 3, "ticks " .. ticks)
mainWindow:animate(slider, 0, 300, 50, 50, 200, 300, 50, 50)
t.check("waitFor sees animation", t.waitFor(function() return t.geometry("slider") == 200 end, 3000),
        "slider at " .. t.geometry("slider"))
t0 = t.now()
local r = t.waitFor(function() return false end, 150)
t.check("waitFor times out", r == false and t.now() - t0 >= 140, "returned after " .. (t.now() - t0))
timer:stop()
)LUA";

const QByteArray kPlainModule = R"LUA(
function MsgHandler(h, msg, ...)
  print("MSG", msg, ...)
  if msg == "onStartup" then
    print("preloaded", package.preload["orvane.test"] ~= nil, pcall(require, "orvane.test"))
    mainWindow:close()
  end
end
)LUA";

} // namespace

class DriverTest : public QObject
{
    Q_OBJECT

private slots:
    void demoPagesWalkThrough()
    {
        Host h;
        const QString src = sourcePath(QStringLiteral("modules"));
        QDirIterator it(src, {QStringLiteral("*.lua")}, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString f = it.next();
            h.install.copyFrom(f, QStringLiteral("modules/") + QDir(src).relativeFilePath(f));
        }
        h.install.copyFrom(sourcePath(QStringLiteral("images/sprites.svg")), QStringLiteral("images/sprites.svg"));
        // A name of its own, so a demo running beside the suite is no "second copy".
        h.install.writeFile(QStringLiteral("modules/e2e_driver_demo.lua"), "require \"demo\"\n");
        QFile driver(sourcePath(QStringLiteral("tests/e2e/drivers/demo_driver.lua")));
        QVERIFY(driver.open(QFile::ReadOnly));
        const Run r = h.run(QStringLiteral("e2e_driver_demo"), driver.readAll());
        QVERIFY2(r.finished, r.out.constData());
        QVERIFY2(!r.outText().contains(QStringLiteral("FAIL")), r.out.constData());
        for (const char *page : {"styles", "widgets", "network", "serial", "discovery", "prompter", "start"})
            QVERIFY2(r.outText().contains(QStringLiteral("PASS page.%1\n").arg(QLatin1String(page))), page);
        QVERIFY(r.outText().contains(QStringLiteral("PASS widgets edit typed\n")));
        QVERIFY2(r.outText().contains(QStringLiteral("19 passed, 0 failed\n")), r.out.constData());
        QCOMPARE(r.outText().count(QStringLiteral("demo: goodbye")), 1);
        QCOMPARE(r.status, 0);
    }

    void inputReachesMsgHandler()
    {
        Host h;
        h.install.writeFile(QStringLiteral("modules/e2e_drv_input.lua"), kInputModule);
        const Run r = h.run(QStringLiteral("e2e_drv_input"), kInputDriver);
        QVERIFY2(r.finished, r.out.constData());
        QVERIFY2(!r.outText().contains(QStringLiteral("FAIL")), r.out.constData());
        QVERIFY2(r.outText().contains(QStringLiteral("13 passed, 0 failed\n")), r.out.constData());
        QCOMPARE(r.status, 0);
    }

    void waitsKeepTheLoopRunning()
    {
        Host h;
        h.install.writeFile(QStringLiteral("modules/e2e_drv_wait.lua"), kInputModule);
        const Run r = h.run(QStringLiteral("e2e_drv_wait"), kWaitDriver);
        QVERIFY2(r.finished, r.out.constData());
        QVERIFY2(r.outText().contains(QStringLiteral("4 passed, 0 failed\n")), r.out.constData());
        QCOMPARE(r.status, 0);
    }

    void failuresSetTheStatus_data()
    {
        QTest::addColumn<QByteArray>("driver");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QString>("summary");
        QTest::newRow("failed check") << QByteArray("local t = require 'orvane.test'\n"
                                                     "t.check('good', true)\nt.check('bad', 1 == 2, 'one is not two')\n")
                                      << QStringLiteral("FAIL bad: one is not two\n")
                                      << QStringLiteral("1 passed, 1 failed\n");
        QTest::newRow("no detail") << QByteArray("require('orvane.test').check('bare', nil)\n")
                                   << QStringLiteral("FAIL bare: condition is false\n")
                                   << QStringLiteral("0 passed, 1 failed\n");
        QTest::newRow("driver error") << QByteArray("local t = require 'orvane.test'\nt.check('a', true)\nt.wait(10)\n"
                                                    "error('broke here')\n")
                                      << QStringLiteral("driver.lua:4: broke here")
                                      << QStringLiteral("1 passed, 1 failed\n");
        QTest::newRow("missing widget") << QByteArray("local t = require 'orvane.test'\nt.tap('nowhere')\n")
                                        << QStringLiteral("driver.lua:2: no widget named \"nowhere\"")
                                        << QStringLiteral("0 passed, 1 failed\n");
        QTest::newRow("syntax error") << QByteArray("local t = = 1\n") << QStringLiteral("FAIL driver: ")
                                      << QStringLiteral("0 passed, 1 failed\n");
        QTest::newRow("app closes early")
            << QByteArray("local t = require 'orvane.test'\nlocal qt = require 'qt.core'\n"
                          "local tm = qt.Timer.create()\ntm:setTimeout(30)\ntm:setSingleShot()\n"
                          "tm.onTimeout = function() mainWindow:close() end\ntm:start()\n"
                          "t.check('before', true)\nt.wait(2000)\nt.check('after', true)\n")
            << QStringLiteral("FAIL driver: the main window was closed before the driver finished\n")
            << QStringLiteral("1 passed, 1 failed\n");
    }

    void failuresSetTheStatus()
    {
        QFETCH(QByteArray, driver);
        QFETCH(QString, expected);
        QFETCH(QString, summary);
        Host h;
        h.install.writeFile(QStringLiteral("modules/e2e_drv_fail.lua"), kInputModule);
        const Run r = h.run(QStringLiteral("e2e_drv_fail"), driver);
        QVERIFY2(r.finished, r.out.constData());
        QVERIFY2(r.outText().contains(expected), r.out.constData());
        QVERIFY2(r.outText().contains(summary), r.out.constData());
        QCOMPARE(r.status, 1);
        // The results again on standard error, apart from the diagnostics.
        const QString err = QString::fromLocal8Bit(r.err);
        QVERIFY2(err.contains(expected) && err.contains(summary), r.err.constData());
        // Closed like a user's close: onShutdown once, after the summary.
        const QStringList l = lines(r.out);
        const int sum = lineIndex(l, summary.trimmed());
        QCOMPARE(r.outText().count(QStringLiteral("onShutdown")), 1);
        QVERIFY(lineIndex(l, QStringLiteral("onShutdown")) > sum);
    }

    void passingRunClosesWithStatusZero()
    {
        Host h;
        h.install.writeFile(QStringLiteral("modules/e2e_drv_pass.lua"), kInputModule);
        const Run r = h.run(QStringLiteral("e2e_drv_pass"), "require('orvane.test').check('only', true)\n");
        QVERIFY2(r.finished, r.out.constData());
        QVERIFY(r.outText().contains(QStringLiteral("PASS only\n1 passed, 0 failed\n")));
        QCOMPARE(r.outText().count(QStringLiteral("onShutdown")), 1);
        QCOMPARE(r.status, 0);
    }

    void withoutTheVariableNothingChanges()
    {
        // The module looks for the library itself and then ends the run.
        const QByteArray module = kPlainModule;
        Host plain;
        plain.install.writeFile(QStringLiteral("modules/e2e_drv_plain.lua"), module);
        const Run a = plain.run(QStringLiteral("e2e_drv_plain"), QByteArray());
        QVERIFY2(a.finished, a.out.constData());
        QCOMPARE(a.status, 0);
        QVERIFY2(a.outText().contains(QStringLiteral("preloaded\tfalse\tfalse")), a.out.constData());
        QVERIFY(!a.outText().contains(QStringLiteral(" passed, ")));

        // Empty variables are no variables: the log is the same line for line
        // (ORVANE_RELOAD included).
        Host empty;
        empty.install.writeFile(QStringLiteral("modules/e2e_drv_plain.lua"), module);
        QProcessEnvironment env = childEnvironment();
        env.insert(QStringLiteral("ORVANE_DRIVER"), QString());
        env.insert(QStringLiteral("ORVANE_RECORD"), QString());
        env.insert(QStringLiteral("ORVANE_RELOAD"), QString());
        const Run b = runProcess(empty.exe, {QStringLiteral("e2e_drv_plain")}, empty.install.root(), 30000, env);
        QVERIFY2(b.finished, b.out.constData());
        QCOMPARE(b.status, 0);
        QString na = normalized(a.out), nb = normalized(b.out);
        na.replace(plain.install.root(), QStringLiteral("ROOT"));
        nb.replace(empty.install.root(), QStringLiteral("ROOT"));
        QCOMPARE(nb, na);
    }
};

QTEST_GUILESS_MAIN(DriverTest)
#include "driver.moc"
