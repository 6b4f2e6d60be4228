// Teardown under load: the main window closes while TCP connections stream
// and echo, a serial pty streams in, timers fire every few milliseconds and
// a service-discovery object ticks. The run must end with status 0, without
// a sanitizer report, and nothing may reach the script once onShutdown ran.
#include "testsupport.h"

#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using namespace testsupport;

namespace {

// Every handler that runs after onShutdown prints "AFTER SHUTDOWN"; the
// counters printed from onShutdown prove that each source really streamed.
const QByteArray kModule = R"LUA(
local qt = require "qt.core"
local serial = require "serial.core"
local bonjour = require "bonjour.core"

local down = false
local counts = {echoed = 0, serial = 0, ticks = 0, bonjour = 0, accepted = 0}
local server, port, discovery
local clients, echoes, timers = {}, {}, {}
local chunk = string.rep("0123456789abcdef", 256)

local function late(what)
  if down then print("AFTER SHUTDOWN", what) end
end

local function every(ms, f)
  local t = qt.Timer.create()
  t:setTimeout(ms)
  t.onTimeout = function() late("timer") f() end
  t:start()
  timers[#timers + 1] = t
end

local function start()
  server = qt.TcpServer.create("127.0.0.1", 0)
  assert(server:port() > 0, "no listening port")
  for i = 1, 3 do
    local c = qt.TcpSocket.create()
    c:connect("127.0.0.1", server:port())
    clients[c] = false
  end
  port = serial.SerialPort.create()
  port:open(assert(os.getenv("TEARDOWN_PTY")))
  discovery = bonjour.Bonjour.create()
  for i = 1, 4 do
    every(i + 1, function() counts.ticks = counts.ticks + 1 end)
  end
  every(2, function()
    for c, up in pairs(clients) do
      if up then c:write(chunk) end
    end
  end)
  local closer = qt.Timer.create()
  closer:setTimeout(1000)
  closer:setSingleShot()
  closer.onTimeout = function() mainWindow:close() end
  closer:start()
  timers[#timers + 1] = closer
end

function MsgHandler(handle, msg, ...)
  late(msg)
  if msg == "onStartup" then
    start()
  elseif msg == "onShutdown" then
    down = true
    print(string.format("COUNTS echoed=%d serial=%d ticks=%d bonjour=%d accepted=%d",
      counts.echoed, counts.serial, counts.ticks, counts.bonjour, counts.accepted))
  elseif handle == server and msg == "onNewConnection" then
    while true do
      local s = server:socket()
      if not s then break end
      echoes[s] = true
      counts.accepted = counts.accepted + 1
    end
  elseif handle ~= nil and echoes[handle] then
    if msg == "onReadyRead" then handle:write(handle:read()) end
  elseif handle ~= nil and clients[handle] ~= nil then
    if msg == "onConnected" then
      clients[handle] = true
    elseif msg == "onReadyRead" then
      counts.echoed = counts.echoed + #handle:read()
    end
  elseif handle == port then
    if msg == "onReadyRead" then counts.serial = counts.serial + #port:read() end
  elseif handle == discovery and msg == "onTimer" then
    counts.bonjour = counts.bonjour + 1
  end
end
)LUA";

int countOf(const QByteArray &out, const QByteArray &name)
{
    const int at = out.indexOf(" " + name + "=");
    if (at < 0)
        return -1;
    const int from = at + name.size() + 2;
    int end = from;
    while (end < out.size() && out.at(end) >= '0' && out.at(end) <= '9')
        ++end;
    return out.mid(from, end - from).toInt();
}

} // namespace

class Teardown : public QObject
{
    Q_OBJECT

private slots:
    void closesCleanlyUnderLoad()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("socat")).isEmpty())
            QSKIP("socat is not installed");
        QTemporaryDir ptys;
        QVERIFY(ptys.isValid());
        const QString a = ptys.filePath(QStringLiteral("a"));
        const QString b = ptys.filePath(QStringLiteral("b"));

        QProcess pair;
        pair.start(QStringLiteral("socat"), {QStringLiteral("pty,raw,echo=0,link=") + a,
                                             QStringLiteral("pty,raw,echo=0,link=") + b});
        QVERIFY(pair.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(a) && QFileInfo::exists(b), 10000);

        // Zeros into the far end for as long as the host runs.
        QProcess feeder;
        feeder.start(QStringLiteral("socat"), {QStringLiteral("-u"), QStringLiteral("OPEN:/dev/zero"), b});
        QVERIFY(feeder.waitForStarted());

        Install install;
        const QString exe = install.addHost(QStringLiteral("app/bin/orvane"));
        install.writeFile(QStringLiteral("modules/td_load.lua"), kModule);
        QProcessEnvironment env = childEnvironment();
        env.insert(QStringLiteral("TEARDOWN_PTY"), a);
        const Run r = runProcess(exe, {QStringLiteral("td_load")}, install.root(), 60000, env);

        feeder.kill();
        feeder.waitForFinished();
        pair.terminate();
        if (!pair.waitForFinished(5000)) {
            pair.kill();
            pair.waitForFinished();
        }

        // QtTest cuts long messages: the sanitizers' first lines matter most.
        const QByteArray report = "stderr:\n" + r.err.left(2500) + "\nstdout tail:\n" + r.out.right(1500);
        QVERIFY2(r.finished, report.constData());
        QVERIFY2(!r.crashed, report.constData());
        QVERIFY2(r.status == 0, report.constData());
        for (const char *sanitizer : {"ERROR: AddressSanitizer", "runtime error", "LeakSanitizer"})
            QVERIFY2(!r.err.contains(sanitizer), report.constData());
        QVERIFY2(!r.out.contains("Call failed") && !r.out.contains("LuaMsgHandler"), report.constData());
        QVERIFY2(!r.out.contains("AFTER SHUTDOWN"), report.constData());

        // Every source was live when the window closed.
        const int counts = r.out.indexOf("COUNTS ");
        qInfo("%s", r.out.mid(counts, r.out.indexOf('\n', counts) - counts).constData());
        QVERIFY2(r.out.contains("COUNTS "), report.constData());
        QVERIFY2(countOf(r.out, "accepted") == 3, report.constData());
        QVERIFY2(countOf(r.out, "echoed") > 0, report.constData());
        QVERIFY2(countOf(r.out, "serial") > 0, report.constData());
        QVERIFY2(countOf(r.out, "ticks") > 100, report.constData());
        QVERIFY2(countOf(r.out, "bonjour") > 10, report.constData());
    }
};

QTEST_GUILESS_MAIN(Teardown)
#include "teardown.moc"
