// Recording through the real host: a session driven by a driver file is
// written as a driver file, and replaying that file reaches the same final
// state and records the same input again.
#include "testsupport.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QRegularExpression>
#include <QTest>

using namespace testsupport;

namespace {

// Prints its whole state when it shuts down: two line edits (one without an
// object name), a click counter and the touches of a pad.
const QByteArray kModule = R"LUA(
local qt = require "qt.core"
local count, trail = 0, {}
local name, add, pad
function MsgHandler(h, msg, ...)
  if msg == "onStartup" then
    name = qt.QLineEdit.create(rootWidget)
    name:setName("name")
    name:setGeometry(10, 10, 200, 30)
    name:show()
    other = qt.QLineEdit.create(rootWidget)
    other:setGeometry(10, 50, 200, 30)
    other:show()
    add = qt.PushButton.create(rootWidget)
    add:setName("add")
    add:setGeometry(10, 90, 100, 40)
    add:show()
    pad = qt.QWidget.create(rootWidget)
    pad:setName("pad")
    pad:setGeometry(220, 10, 200, 200)
    pad:show()
  elseif msg == "onClick" and h == add then
    count = count + 1
  elseif h == pad and (msg:match("^onTouch") or msg == "onRightClick") then
    local x, y = ...
    trail[#trail + 1] = msg .. ":" .. x .. ":" .. y
  elseif msg == "onShutdown" then
    print("STATE", name:text(), other:text(), count, table.concat(trail, ","))
  end
end
)LUA";

const QByteArray kSession = R"LUA(
local t = require "orvane.test"
t.tap("name")
t.type("name", "Ada")
t.key("name", "backspace")
t.type("name", "m")
t.wait(60)
t.tap(other)
t.type(other, "xy")
t.key(other, "left")
t.key(other, "z", "Z", "s")
t.tap("add")
t.wait(20)
t.tap("add")
t.press("pad", 5, 6)
t.move("pad", 20, 25)
t.release("pad", 21, 26)
t.rightClick("pad", 7, 8)
)LUA";

struct Host
{
    Install install;
    QString exe;
    Host() { exe = install.addHost(QStringLiteral("app/bin/orvane")); }
    Run run(const QString &module, const QString &driver, const QString &record)
    {
        QProcessEnvironment env = childEnvironment();
        env.insert(QStringLiteral("ORVANE_DRIVER"), driver);
        if (!record.isEmpty())
            env.insert(QStringLiteral("ORVANE_RECORD"), record);
        return runProcess(exe, {module}, install.root(), 60000, env);
    }
    QByteArray read(const QString &relative) const
    {
        QFile f(install.path(relative));
        return f.open(QFile::ReadOnly) ? f.readAll() : QByteArray();
    }
};

QString stateLine(const Run &r)
{
    const QStringList l = lines(r.out);
    const int i = lineIndex(l, QStringLiteral("STATE\t"));
    return i < 0 ? QString() : l.at(i);
}

// The recorded input without its timing and comments.
QStringList actions(const QByteArray &recording)
{
    QStringList out;
    for (const QString &line : lines(recording))
        if (line.startsWith(QLatin1String("t.")) && !line.startsWith(QLatin1String("t.wait(")))
            out.append(line);
    return out;
}

} // namespace

class RecordTest : public QObject
{
    Q_OBJECT

private slots:
    void recordedSessionReplaysToTheSameState()
    {
        Host h;
        h.install.writeFile(QStringLiteral("modules/e2e_rec_app.lua"), kModule);
        h.install.writeFile(QStringLiteral("session.lua"), kSession);
        const Run first = h.run(QStringLiteral("e2e_rec_app"), h.install.path(QStringLiteral("session.lua")),
                                h.install.path(QStringLiteral("first.lua")));
        QVERIFY2(first.finished, first.out.constData());
        QCOMPARE(first.status, 0);
        const QString state = stateLine(first);
        QCOMPARE(state, QStringLiteral("STATE\tAdm\txZy\t2\tonTouchPress:5:6,onTouchMove:20:25,"
                                       "onTouchRelease:21:26,onRightClick:7:8"));

        const QByteArray rec = h.read(QStringLiteral("first.lua"));
        QVERIFY2(rec.startsWith("-- Recorded by orvane "), rec.constData());
        QVERIFY(rec.contains("\nlocal t = require \"orvane.test\"\n"));
        QVERIFY2(rec.contains("\nt.key(\"name\", 65, \"A\", \"\")\n"), rec.constData());
        QVERIFY2(rec.contains("\nt.key(\"name\", 16777219, \"\\008\", \"\")\n"), rec.constData());
        const QByteArray otherPath = "\"MainWindow/QWidget:0/QLineEdit:1\"";
        QVERIFY2(rec.contains("\nt.key(" + otherPath + ", 90, \"Z\", \"s\")\n"), rec.constData());
        QVERIFY2(rec.contains("\n-- warning: a QLineEdit without an object name, recorded by its path of parents\n"),
                 rec.constData());
        QCOMPARE(first.outText().count(QStringLiteral("Warning: Recording: a QLineEdit has no object name; it is "
                                                      "recorded by its path of parents MainWindow/QWidget:0/"
                                                      "QLineEdit:1")),
                 1);
        QVERIFY(rec.contains("\nt.move(\"pad\", 20, 25)\n"));
        QVERIFY(rec.contains("\nt.rightClick(\"pad\", 7, 8)\n"));
        // The pad ignores touches, so Qt offers each to its parent as well:
        // only the first receiver is written.
        const QStringList acts = actions(rec);
        QCOMPARE(acts.filter(QStringLiteral("t.press(")).size(), 5);
        QCOMPARE(acts.filter(QStringLiteral("t.release(")).size(), 5);
        QCOMPARE(acts.last(), QStringLiteral("t.close(\"MainWindow\")"));
        // The session's pause is kept.
        bool longWait = false;
        const QRegularExpression wait(QStringLiteral("^t\\.wait\\((\\d+)\\)$"));
        for (const QString &line : lines(rec)) {
            const QRegularExpressionMatch m = wait.match(line);
            if (m.hasMatch() && m.captured(1).toInt() >= 55)
                longWait = true;
        }
        QVERIFY2(longWait, rec.constData());

        // The replay, recorded in turn.
        const Run replay = h.run(QStringLiteral("e2e_rec_app"), h.install.path(QStringLiteral("first.lua")),
                                 h.install.path(QStringLiteral("second.lua")));
        QVERIFY2(replay.finished, replay.out.constData());
        QCOMPARE(replay.status, 0);
        QVERIFY2(replay.outText().contains(QStringLiteral("0 passed, 0 failed\n")), replay.out.constData());
        QCOMPARE(stateLine(replay), state);
        QCOMPARE(replay.outText().count(QStringLiteral("STATE\t")), 1);
        QCOMPARE(actions(h.read(QStringLiteral("second.lua"))), acts);
    }

    void unwritableRecordingLeavesTheRunAlone()
    {
        Host h;
        h.install.writeFile(QStringLiteral("modules/e2e_rec_bad.lua"), kModule);
        h.install.writeFile(QStringLiteral("session.lua"), "require('orvane.test').tap('add')\n");
        const Run r = h.run(QStringLiteral("e2e_rec_bad"), h.install.path(QStringLiteral("session.lua")),
                            h.install.path(QStringLiteral("no/such/dir/rec.lua")));
        QVERIFY2(r.finished, r.out.constData());
        QCOMPARE(r.status, 0);
        QVERIFY2(r.outText().contains(QStringLiteral("Warning: Cannot record into ")), r.out.constData());
        QVERIFY(stateLine(r).contains(QStringLiteral("\t1\t")));
    }

    void demoSessionReplays()
    {
        Host h;
        const QString src = sourcePath(QStringLiteral("modules"));
        QDirIterator it(src, {QStringLiteral("*.lua")}, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString f = it.next();
            h.install.copyFrom(f, QStringLiteral("modules/") + QDir(src).relativeFilePath(f));
        }
        h.install.copyFrom(sourcePath(QStringLiteral("images/sprites.svg")), QStringLiteral("images/sprites.svg"));
        h.install.writeFile(QStringLiteral("modules/e2e_rec_demo.lua"), "require \"demo\"\n");
        const Run first = h.run(QStringLiteral("e2e_rec_demo"),
                                sourcePath(QStringLiteral("tests/e2e/drivers/demo_driver.lua")),
                                h.install.path(QStringLiteral("demo_session.lua")));
        QVERIFY2(first.finished, first.out.constData());
        QCOMPARE(first.status, 0);
        QByteArray rec = h.read(QStringLiteral("demo_session.lua"));
        QVERIFY2(rec.contains("t.press(\"nav.prompter\""), rec.constData());
        // What the walk left behind, checked after the replay's last input
        // (the window's close, which the checks must come before).
        const int close = rec.lastIndexOf("t.close(\"MainWindow\")");
        QVERIFY(close > 0);
        rec.insert(close, "t.check('edit', t.text('page.widgets/Widget:0/QLineEdit:0') == 'type here!', "
                          "t.text('page.widgets/Widget:0/QLineEdit:0'))\n"
                          "t.check('page', t.waitFor(function() return t.geometry('page.start') == 150 end, 3000))\n"
                          "t.check('others away', not t.visible('page.widgets') or t.geometry('page.widgets') ~= 150)\n");
        h.install.writeFile(QStringLiteral("demo_replay.lua"), rec);
        const Run replay = h.run(QStringLiteral("e2e_rec_demo"), h.install.path(QStringLiteral("demo_replay.lua")),
                                 QString());
        QVERIFY2(replay.finished, replay.out.constData());
        QVERIFY2(replay.outText().contains(QStringLiteral("3 passed, 0 failed\n")), replay.out.constData());
        QCOMPARE(replay.status, 0);
    }
};

QTEST_GUILESS_MAIN(RecordTest)
#include "record.moc"
