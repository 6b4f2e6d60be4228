// A streaming TCP server against clients that connect and never read, in
// the real host: the back-pressure example of docs/api/tcp.md as printed
// there, and beside it the same stream written without looking. Twenty
// clients from a separate process (Python sockets with small receive
// buffers) stop reading at once; the test watches the host's resident
// memory from outside and its 50 ms interface timer from inside.
//
// The example must keep memory within twice its level before the clients
// came and the timer within 20 % of its period; the unpaced server shows
// that the same test sees the difference. Last, an HTTP server whose slow
// readers leave: what was queued for them must leave the host too.
#include "testsupport.h"
#include "devtools/resident.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTest>

#include <algorithm>

using namespace testsupport;

namespace {

const int kClients = 20;

// Measures the interface timer and how much waits in the host, around the
// server under test; ends the run STREAM_SECONDS after the first client.
const QByteArray kHarness = R"LUA(
local qt = require "qt.core"
local served = MsgHandler
local seen, sent, streaming = {}, 0, nil
local periods, clock, last = {}, qt.ElapsedTimer.create(), nil

local tick = qt.Timer.create()
tick:setTimeout(50)
tick.onTimeout = function()
  local now = clock:elapsed()
  if last and streaming then periods[#periods + 1] = now - last end
  last = now
end

local function report()
  table.sort(periods)
  local sum = 0
  for _, p in ipairs(periods) do sum = sum + p end
  local queued, clients = 0, 0
  for s in pairs(seen) do
    clients = clients + 1
    local ok, n = pcall(s.bytesToWrite, s)
    if ok then queued = queued + n end
  end
  print(string.format("STATS periods=%d mean=%.1f p50=%d p95=%d max=%d queued=%d sent=%d clients=%d",
    #periods, sum / math.max(#periods, 1), periods[#periods // 2 + 1] or 0,
    periods[math.ceil(#periods * 0.95)] or 0, periods[#periods] or 0, queued, sent, clients))
  io.stdout:flush()
  mainWindow:close()
end

local done = qt.Timer.create()
done:setSingleShot()
done.onTimeout = report

function MsgHandler(obj, msg, ...)
  if msg == "onStartup" then
    clock:start(); tick:start()
    print("STARTED"); io.stdout:flush()
    return
  end
  if obj == nil then return end
  if msg == "onBytesWritten" then
    sent = sent + ...
    seen[obj] = true
    if not streaming then
      streaming = true
      done:setTimeout(1000 * tonumber(os.getenv("STREAM_SECONDS")))
      done:start()
    end
  end
  return served(obj, msg, ...)
end
)LUA";

// The same stream written every 10 ms whatever the client takes, up to
// 256 MiB in all, so that the run ends with a known amount queued.
const QByteArray kUnpaced = R"LUA(
local qt = require "qt.core"
local server = qt.TcpServer.create("127.0.0.1", 7001)
local clients, written = {}, 0
local chunk = string.rep("line 1234567\n", 64 * 1024 // 13)
local writer = qt.Timer.create()
writer:setTimeout(10)
writer.onTimeout = function()
  for s in pairs(clients) do
    if written < 256 * 1024 * 1024 then s:write(chunk); written = written + #chunk end
  end
end
writer:start()
function MsgHandler(obj, msg, ...)
  if msg == "onNewConnection" then
    while true do
      local s = server:socket()
      if not s then break end
      clients[s] = true
      s:write(chunk)
    end
  end
end
)LUA";

// Clients that connect and never read: the receive buffer is kept small
// before connecting, so the host's data piles up on its own side. Each sends
// REQUESTS requests first (none by default) and all close when a line comes
// on standard input.
const char kNeverReads[] = R"PY(
import socket, sys
port, n = int(sys.argv[1]), int(sys.argv[2])
requests = int(sys.argv[3]) if len(sys.argv) > 3 else 0
held = []
for _ in range(n):
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    s.connect(("127.0.0.1", port))
    s.sendall(b"GET /body HTTP/1.1\r\nHost: orvane\r\n\r\n" * requests)
    held.append(s)
print("connected", len(held), flush=True)
sys.stdin.readline()
for s in held:
    s.close()
)PY";

// Every request gets the same 1 MiB body, written after its header, and a
// socket is destroyed when its client has gone. Reports how much waits in
// the host once every request is answered, and when the last socket is gone
// and the collector has run.
const QByteArray kHttp = R"LUA(
local qt = require "qt.core"
local server = qt.TcpServer.create("127.0.0.1", 7001)
server:setMaxPending(256)
local BODY = string.rep("0123456789abcdef", 65536)
local HEAD = "HTTP/1.1 200 OK\r\nContent-Length: " .. #BODY .. "\r\n\r\n"
local CLIENTS = tonumber(os.getenv("HTTP_CLIENTS"))
local pending, answered, gone = {}, 0, 0

local collect = qt.Timer.create()
collect:setSingleShot()
collect:setTimeout(100)  -- the destroyed sockets' deferred deletes first
collect.onTimeout = function()
  collectgarbage() collectgarbage()
  print("COLLECTED"); io.stdout:flush()
end

function MsgHandler(obj, msg, ...)
  if msg == "onStartup" then print("STARTED"); io.stdout:flush() end
  if msg == "onNewConnection" then
    while true do
      local s = server:socket()
      if not s then break end
      pending[s] = ""
    end
  elseif msg == "onReadyRead" and pending[obj] then
    local buffer = pending[obj] .. obj:read()
    for _ in buffer:gmatch("\r\n\r\n") do
      obj:write(HEAD)
      obj:write(BODY)
      answered = answered + 1
    end
    pending[obj] = buffer:match(".*\r\n\r\n(.*)") or buffer
    if answered == 4 * CLIENTS then
      local queued = 0
      for s in pairs(pending) do queued = queued + s:bytesToWrite() end
      print("QUEUED " .. queued); io.stdout:flush()
    end
  elseif msg == "onDisconnected" and pending[obj] then
    pending[obj] = nil
    obj:destroy()
    gone = gone + 1
    if gone == CLIENTS then collect:start() end
  end
end
)LUA";

quint16 freePort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

struct Figures {
    qint64 before = -1; // resident KiB once started, before the clients
    qint64 most = -1;   // the most while streaming
    QMap<QString, double> stats;
    QByteArray out;
};

QByteArray docsExample()
{
    QFile doc(sourcePath(QStringLiteral("docs/api/tcp.md")));
    if (!doc.open(QIODevice::ReadOnly))
        return QByteArray();
    const QByteArray text = doc.readAll();
    const int section = text.indexOf("## A streaming server that respects back-pressure");
    const int begin = text.indexOf("```lua\n", section) + 7;
    const int end = text.indexOf("```", begin);
    return section < 0 || begin < 7 || end < begin ? QByteArray() : text.mid(begin, end - begin);
}

} // namespace

class Backpressure : public QObject
{
    Q_OBJECT

    QString python;

    // Runs module (its port 7001 replaced by port) as name in the host,
    // collecting its output in out; true once it has printed STARTED and
    // had a second to settle.
    static bool launch(QProcess &host, Install &install, const QByteArray &module, quint16 port, const QString &name,
        QProcessEnvironment env, QByteArray &out)
    {
        QByteArray text = module;
        text.replace("7001", QByteArray::number(port));
        const QString exe = install.addHost(QStringLiteral("app/bin/orvane"));
        install.writeFile(QStringLiteral("modules/") + name + QStringLiteral(".lua"), text);
        // Under AddressSanitizer every freed block waits in a quarantine and
        // every allocation keeps its stack: both grow with the traffic and
        // count as resident, though neither is the host's. The other tests
        // run the same paths with them.
        env.insert(QStringLiteral("ASAN_OPTIONS"),
            env.value(QStringLiteral("ASAN_OPTIONS")) + QStringLiteral(":quarantine_size_mb=0:malloc_context_size=0"));
        host.setProcessEnvironment(env);
        host.setWorkingDirectory(install.root());
        host.setProcessChannelMode(QProcess::SeparateChannels);
        QObject::connect(&host, &QProcess::readyReadStandardOutput, [&] { out += host.readAllStandardOutput(); });
        host.start(exe, { name });
        if (!host.waitForStarted(10000) || !QTest::qWaitFor([&] { return out.contains("STARTED"); }, 30000))
            return false;
        // Settled: the window is up and the timers run.
        QTest::qWait(1000);
        return true;
    }

    Figures stream(const QByteArray &server, const QString &name)
    {
        Figures f;
        const quint16 port = freePort();
        if (!port)
            return f;
        Install install;
        QProcessEnvironment env = childEnvironment();
        env.insert(QStringLiteral("STREAM_SECONDS"), QStringLiteral("4"));
        QProcess host;
        if (!launch(host, install, server + kHarness, port, name, env, f.out))
            return f;
        f.before = residentKiB(host.processId());

        QProcess clients;
        clients.start(python, { "-c", QString::fromLatin1(kNeverReads), QString::number(port), QString::number(kClients) });
        clients.waitForStarted(10000);
        f.most = f.before;
        const bool ended = QTest::qWaitFor(
            [&] {
                f.most = std::max(f.most, residentKiB(host.processId()));
                return host.state() == QProcess::NotRunning;
            },
            60000);
        clients.kill();
        clients.waitForFinished(5000);
        if (!ended) {
            host.kill();
            host.waitForFinished(5000);
        }
        f.out += host.readAllStandardOutput();
        const QRegularExpression pair(QStringLiteral("(\\w+)=([0-9.]+)"));
        const int at = f.out.indexOf("STATS ");
        const QString line = QString::fromLatin1(f.out.mid(at, f.out.indexOf('\n', at) - at));
        for (auto it = pair.globalMatch(line); at >= 0 && it.hasNext();) {
            const QRegularExpressionMatch m = it.next();
            f.stats.insert(m.captured(1), m.captured(2).toDouble());
        }
        return f;
    }

    static void show(const char *what, const Figures &f)
    {
        printf("%s: resident %lld KiB before the clients, at most %lld KiB while streaming (x%.2f); "
               "50 ms timer: mean %.1f ms, median %.0f, p95 %.0f, max %.0f over %.0f periods; "
               "%.0f clients, %.0f bytes sent, %.0f bytes queued in the host\n",
            what, f.before, f.most, f.before > 0 ? double(f.most) / double(f.before) : 0.0, f.stats.value("mean"),
            f.stats.value("p50"), f.stats.value("p95"), f.stats.value("max"), f.stats.value("periods"),
            f.stats.value("clients"), f.stats.value("sent"), f.stats.value("queued"));
        fflush(stdout);
    }

private slots:
    void initTestCase()
    {
        python = QStandardPaths::findExecutable(QStringLiteral("python3"), { QStringLiteral("/usr/bin") });
        if (python.isEmpty())
            python = QStandardPaths::findExecutable(QStringLiteral("python3"));
        if (python.isEmpty())
            QSKIP("python3 is not installed");
    }

    void pacedStreamStaysBoundedWithClientsThatNeverRead()
    {
        const QByteArray example = docsExample();
        QVERIFY(example.contains("bytesToWrite"));
        const Figures f = stream(example, QStringLiteral("bp_paced"));
        show("paced (docs example)", f);
        QVERIFY2(!f.stats.isEmpty(), f.out.right(2000).constData());
        QCOMPARE(int(f.stats.value("clients")), kClients);
        // Every client was fed until the system's buffers were full.
        QVERIFY(f.stats.value("sent") >= kClients * 4096.0);
        QVERIFY(f.stats.value("queued") <= kClients * (256 + 16) * 1024.0);
        QVERIFY2(f.most <= 2 * f.before, qPrintable(QStringLiteral("%1 KiB -> %2 KiB").arg(f.before).arg(f.most)));
        QVERIFY(f.stats.value("periods") >= 40);
        QVERIFY2(f.stats.value("mean") >= 40 && f.stats.value("mean") <= 60, qPrintable(QString::number(f.stats.value("mean"))));
        QVERIFY2(f.stats.value("p50") >= 40 && f.stats.value("p50") <= 60, qPrintable(QString::number(f.stats.value("p50"))));
    }

    void unpacedStreamQueuesEverything()
    {
        const Figures f = stream(kUnpaced, QStringLiteral("bp_unpaced"));
        show("unpaced", f);
        QVERIFY2(!f.stats.isEmpty(), f.out.right(2000).constData());
        QCOMPARE(int(f.stats.value("clients")), kClients);
        // What the system did not take waits in the host, and the test sees it.
        QVERIFY(f.stats.value("queued") >= 128.0 * 1024 * 1024);
        QVERIFY(f.most > 2 * f.before);
    }

    void queuesOfSlowReadersGoBackWhenTheyLeave()
    {
        const int clients = 50;
        const quint16 port = freePort();
        QVERIFY(port);
        Install install;
        QProcessEnvironment env = childEnvironment();
        env.insert(QStringLiteral("HTTP_CLIENTS"), QString::number(clients));
        QProcess host;
        QByteArray out;
        QVERIFY2(launch(host, install, kHttp, port, QStringLiteral("bp_http"), env, out), out.constData());
        const qint64 before = residentKiB(host.processId());

        QProcess peers;
        peers.start(
            python, { "-c", QString::fromLatin1(kNeverReads), QString::number(port), QString::number(clients), QStringLiteral("4") });
        QVERIFY(peers.waitForStarted(10000));
        qint64 most = before;
        const auto watch = [&](const char *line) {
            const bool either = QTest::qWaitFor(
                [&] {
                    most = std::max(most, residentKiB(host.processId()));
                    return out.contains(line) || host.state() == QProcess::NotRunning;
                },
                60000);
            return either && out.contains(line);
        };
        QVERIFY2(watch("QUEUED "), out.right(2000).constData());
        const int at = out.indexOf("QUEUED ") + 7;
        const qint64 queued = out.mid(at, out.indexOf('\n', at) - at).toLongLong();
        peers.write("\n");
        QVERIFY2(watch("COLLECTED"), out.right(2000).constData());
        peers.waitForFinished(10000);
        // Freed memory may take the host a moment to hand back.
        qint64 after = -1;
        const bool back = QTest::qWaitFor(
            [&] {
                after = residentKiB(host.processId());
                return after * 2 <= before * 3;
            },
            20000);
        const bool running = host.state() == QProcess::Running;
        host.kill();
        host.waitForFinished(5000);
        printf("slow readers: %d clients, %lld bytes queued in the host; resident %lld KiB before the clients, "
               "at most %lld KiB, %lld KiB after they left (x%.2f)\n",
            clients, queued, before, most, after, before > 0 ? double(after) / double(before) : 0.0);
        fflush(stdout);
        QVERIFY(running);
        // The clients really held back: a body or more each waited here.
        QVERIFY2(queued >= clients * 1024 * 1024LL, qPrintable(QString::number(queued)));
        QVERIFY(most * 2 > before * 3);
        QVERIFY2(back, qPrintable(QStringLiteral("%1 KiB -> %2 KiB").arg(before).arg(after)));
    }
};

QTEST_GUILESS_MAIN(Backpressure)
#include "backpressure.moc"
