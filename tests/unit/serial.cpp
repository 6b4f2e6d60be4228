// SerialPort on real lines: pseudo-terminal pairs made by socat, the script
// on one end and plain POSIX reads and writes on the other. Payloads carry
// every byte value; every wait is for an observable arrival.
#include "testsupport.h"
#include "internals.h"
#include "comms/serial.h"
#include "comms/serialport.h"
#include "comms/serialworker.h"
#include "luafixture.h"
#include "luax.h"
#include "modulelocator.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>
#include <QSerialPortInfo>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <thread>

using testsupport::LuaFixture;

namespace {

const char kPrelude[] = R"lua(
serial = require 'serial.core'
-- mode: 'append' collects arrivals in got; 'count' only adds up their sizes
-- (streams would make got grow quadratically); 'none' leaves them unread.
log, made, got, received, mode = {}, {}, '', 0, 'append'
function MsgHandler(obj, msg, ...)
  if msg == 'onReadyRead' and mode == 'count' then
    received = received + #obj:read()
    return
  end
  log[#log + 1] = {obj = obj, msg = msg, n = select('#', ...)}
  if msg == 'onReadyRead' and mode == 'append' then got = got .. obj:read() end
end
function count(msg)
  local n = 0
  for _, e in ipairs(log) do if e.msg == msg then n = n + 1 end end
  return n
end
function newPort() local p = serial.SerialPort.create(); made[#made + 1] = p; return p end
)lua";


// How many of this process's descriptors are open on device.
int descriptorsOn(const QString &device)
{
    int n = 0;
    const QStringList fds
        = QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    for (const QString &fd : fds) {
        char target[256];
        const QByteArray link = "/proc/self/fd/" + fd.toLatin1();
        const ssize_t len = readlink(link.constData(), target, sizeof target - 1);
        if (len > 0 && QString::fromLocal8Bit(target, int(len)) == device)
            ++n;
    }
    return n;
}

// The terminal settings of a device as another program sees them: stty's
// speed and every flag it lists, "-" in front when off.
struct Stty {
    int speed = -1;
    QSet<QString> flags;
    bool on(const char *flag) const { return flags.contains(QLatin1String(flag)); }
    bool off(const char *flag) const { return flags.contains(QLatin1Char('-') + QLatin1String(flag)); }
};

Stty sttyOf(const QString &device)
{
    Stty out;
    QProcess stty;
    stty.start(QStringLiteral("stty"), { "-F", device, "-a" });
    if (!stty.waitForFinished(10000) || stty.exitCode() != 0)
        return out;
    const QString text = QString::fromLatin1(stty.readAllStandardOutput());
    const QRegularExpression speed(QStringLiteral("speed (\\d+) baud"));
    const QRegularExpressionMatch m = speed.match(text);
    if (m.hasMatch())
        out.speed = m.captured(1).toInt();
    for (const QString &word : text.split(QRegularExpression(QStringLiteral("[\\s;]+")), Qt::SkipEmptyParts))
        out.flags.insert(word);
    return out;
}

// The /usr/bin Python that Debian's python3-pymodbus and python3-serial
// belong to (a python3 earlier on PATH may not have them).
QString debianPython(const char *module)
{
    const QString python = QStandardPaths::findExecutable(QStringLiteral("python3"), { QStringLiteral("/usr/bin") });
    if (python.isEmpty())
        return QString();
    QProcess probe;
    probe.start(python, { "-c", QStringLiteral("import %1").arg(QLatin1String(module)) });
    return probe.waitForFinished(20000) && probe.exitCode() == 0 ? python : QString();
}

// A pseudo-terminal pair joined by socat: the script opens `a`, the test
// talks through `b`. socat is ended by its own process id.
class PtyPair {
public:
    PtyPair()
    {
        a = dir.filePath(QStringLiteral("a"));
        b = dir.filePath(QStringLiteral("b"));
        process.start(QStringLiteral("socat"), { "-d", "-d", "pty,raw,echo=0,link=" + a, "pty,raw,echo=0,link=" + b });
    }
    ~PtyPair()
    {
        if (fd >= 0)
            ::close(fd);
        kill();
    }
    // Both ends exist and the test's end is open.
    bool ready()
    {
        if (!process.waitForStarted(5000))
            return false;
        if (!QTest::qWaitFor([this] { return QFileInfo::exists(a) && QFileInfo::exists(b); }, 10000))
            return false;
        device = QFileInfo(a).symLinkTarget();
        fd = ::open(QFile::encodeName(b).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        return fd >= 0 && !device.isEmpty();
    }
    void kill()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }
    bool send(const QByteArray &data)
    {
        qint64 sent = 0;
        while (sent < data.size()) {
            pollfd p { fd, POLLOUT, 0 };
            if (poll(&p, 1, 5000) <= 0)
                return false;
            const ssize_t w = ::write(fd, data.constData() + sent, size_t(data.size() - sent));
            if (w > 0)
                sent += w;
            else if (errno != EAGAIN && errno != EINTR)
                return false;
        }
        return true;
    }
    // Everything readable now is appended to `received`.
    int drain()
    {
        char buf[65536];
        ssize_t r;
        while ((r = ::read(fd, buf, sizeof buf)) > 0)
            received.append(buf, int(r));
        return received.size();
    }

    QTemporaryDir dir;
    QProcess process;
    QString a, b;
    QString device; // what `a` stands for, e.g. /dev/pts/7; outlives socat's link
    int fd = -1;
    QByteArray received;
};

// Streams into a pair's test end from a thread of its own until stopped.
class Streamer {
public:
    explicit Streamer(int fd)
        : worker([this, fd] {
            const QByteArray chunk = testsupport::everyByteValue(4096);
            while (!stop) {
                pollfd p { fd, POLLOUT, 0 };
                if (poll(&p, 1, 20) > 0) {
                    const ssize_t w = ::write(fd, chunk.constData(), size_t(chunk.size()));
                    if (w > 0)
                        written += w;
                }
            }
        })
    {
    }
    ~Streamer()
    {
        stop = true;
        worker.join();
    }
    std::atomic<bool> stop { false };
    std::atomic<qint64> written { 0 };

private:
    std::thread worker;
};

} // namespace

// An interpreter for a child process, made as the host makes it, with the
// line to open in the global `name`.
lua_State *childState(const QByteArray &name)
{
    lua_State *L = luaX_newstate();
    luaL_requiref(L, "qt.core", luaopen_qt_core, 0);
    orvane::preloadModules(L, orvane::builtinModules());
    lua_settop(L, 0);
    lua_pushlstring(L, name.constData(), size_t(name.size()));
    lua_setglobal(L, "name");
    return L;
}

// The program's end with a port open and bytes streaming in, in a process of
// its own: the interpreter is closed as the main window closes it, then the
// application object goes, and with it every port still alive. Run as
//   serial --exit-during-traffic A B
// where A is the line to open and B its other end, fed until exit.
int exitDuringTraffic(int argc, char **argv)
{
    // Static: the feeder stops only after the application object is gone.
    static std::unique_ptr<Streamer> streamer;
    bool flowing = false;
    {
        QApplication app(argc, argv);
        const QByteArray a = argv[2];
        const int fd = ::open(argv[3], O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd < 0)
            return 2;
        streamer = std::make_unique<Streamer>(fd);

        lua_State *L = childState(a);
        if (luaL_dostring(L,
                "received = 0\n"
                "function MsgHandler(obj, msg) if msg == 'onReadyRead' then received = received + #obj:read() end end\n"
                "port = require('serial.core').SerialPort.create(); port:open(name)")
            != LUA_OK)
            return 3;
        flowing = QTest::qWaitFor(
            [L] {
                lua_getglobal(L, "received");
                const lua_Integer n = lua_tointeger(L, -1);
                lua_pop(L, 1);
                return n > 100000;
            },
            20000);
        lua_close(L);
        // Arrivals for the closed interpreter are dropped from here on.
        QTest::qWait(50);
        fprintf(stderr, "exiting with %d port(s) alive\n", TestAccess::aliveSerialPorts());
    }
    fprintf(stderr, "after the application: %d port(s) alive\n", TestAccess::aliveSerialPorts());
    return flowing && TestAccess::aliveSerialPorts() == 0 ? 0 : 4;
}

// Line settings set before an open and changed while open, in a process of
// its own so that the test can watch it under strace. Run as
//   serial --set-lines A B
// where A is the line to open and B its other end.
int setLines(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QByteArray a = argv[2];
    const int fd = ::open(argv[3], O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return 2;
    lua_State *L = childState(a);
    if (luaL_dostring(L,
            "function MsgHandler() end\n"
            "port = require('serial.core').SerialPort.create()\n"
            "port:setLine(9600, 7, 'even', 2, 'hardware'); port:open(name); port:write('1')")
        != LUA_OK)
        return 3;
    // The worker does everything in order: once a write has arrived, the
    // settings asked for before it have been applied.
    QByteArray far;
    auto arrived = [&](char marker) {
        return QTest::qWaitFor(
            [&] {
                char buf[64];
                const ssize_t r = ::read(fd, buf, sizeof buf);
                if (r > 0)
                    far.append(buf, int(r));
                return far.contains(marker);
            },
            20000);
    };
    if (!arrived('1'))
        return 4;
    if (luaL_dostring(L, "port:setLine(1200, 5, 'space', 1, 'software'); port:write('2')") != LUA_OK)
        return 3;
    if (!arrived('2'))
        return 4;
    lua_close(L);
    ObjectTracker::deleteOrphans();
    ::close(fd);
    return 0;
}

class SerialTest : public QObject {
    Q_OBJECT

    std::unique_ptr<LuaFixture> f;

    // Ports a script keeps for the program's life, deleted as its end would.
    void deleteScriptPorts()
    {
        for (const QPointer<QObject> &object : TestAccess::adopted(ObjectTracker::instance(f->L)))
            delete qobject_cast<SerialPort *>(object.data());
    }

    QString run(const QByteArray &code) { return f->run(code); }
    QVariant eval(const QByteArray &expression) { return f->eval(expression); }
    qlonglong num(const QByteArray &expression) { return eval(expression).toLongLong(); }
    QByteArray str(const QByteArray &expression) { return eval(expression).toByteArray(); }

    void setGlobal(const char *name, const QByteArray &value)
    {
        lua_pushlstring(f->L, value.constData(), size_t(value.size()));
        lua_setglobal(f->L, name);
    }
    void setGlobal(const char *name, const QString &value) { setGlobal(name, value.toUtf8()); }

    SerialPort *portOf(const char *global)
    {
        lua_getglobal(f->L, global);
        auto *port = luaX_toqobject<SerialPort>(f->L, -1, "SerialPort");
        lua_pop(f->L, 1);
        return port;
    }

    // The peer sends a marker and the script receives it: everything the
    // worker had to do before that is done and reported.
    bool roundTrip(PtyPair &pair)
    {
        static int n = 0;
        const QByteArray marker = "<sync " + QByteArray::number(++n) + ">";
        return pair.send(marker) && QTest::qWaitFor([&] { return str("got").endsWith(marker); }, 10000);
    }

private slots:
    void init()
    {
        f = std::make_unique<LuaFixture>();
        // Preloaded as the host does it: the opener runs on first require.
        orvane::preloadModules(f->L, orvane::builtinModules());
        QCOMPARE(run(kPrelude), QString());
    }

    void cleanup()
    {
        if (f->L)
            run("for _, p in ipairs(made) do pcall(p.destroy, p) end");
        QTRY_COMPARE(TestAccess::aliveSerialPorts(), 0);
        f.reset();
    }

    void moduleTableAndClass()
    {
        QCOMPARE(eval("type(serial.ports)"), QVariant(QByteArray("function")));
        QCOMPARE(eval("getmetatable(serial.SerialPort) ~= nil"), QVariant(true));
        QCOMPARE(eval("serial.SerialPort.__classname"), QVariant(QByteArray("SerialPort")));
        QCOMPARE(eval("rawequal(require 'serial.core', serial)"), QVariant(true));
        QCOMPARE(run("p = newPort()"), QString());
        QCOMPARE(eval("getmetatable(p).__classname"), QVariant(QByteArray("SerialPort")));
        // QObject's methods come with the class; per-object fields work.
        QCOMPARE(run("p:setName('line1'); p.label = 'x'"), QString());
        QCOMPARE(portOf("p")->objectName(), QStringLiteral("line1"));
        QCOMPARE(str("p.label"), QByteArray("x"));
        // Nothing opened, nothing reported.
        QCOMPARE(eval("p:read()"), QVariant(QByteArray("")));
        QCOMPARE(num("#log"), 0LL);
    }

    void portsAreSeparateStrings()
    {
        QCOMPARE(run("list = table.pack(serial.ports())"), QString());
        const QList<QSerialPortInfo> infos = QSerialPortInfo::availablePorts();
        QCOMPARE(num("list.n"), qlonglong(infos.size()));
        for (int i = 0; i < infos.size(); ++i) {
            const QByteArray at = "list[" + QByteArray::number(i + 1) + "]";
            QCOMPARE(eval("type(" + at + ")"), QVariant(QByteArray("string")));
            QCOMPARE(str(at), infos.at(i).portName().toLocal8Bit());
        }
    }

    void everyByteValueBothWays_data()
    {
        QTest::addColumn<int>("size");
        QTest::newRow("every byte once") << 256;
        QTest::newRow("100 KiB") << 100 * 1024;
    }

    void everyByteValueBothWays()
    {
        QFETCH(int, size);
        PtyPair pair;
        QVERIFY(pair.ready());
        const QByteArray out = testsupport::everyByteValue(size);
        const QByteArray in = testsupport::everyByteValue(size);
        setGlobal("name", pair.a);
        setGlobal("out", out);
        QCOMPARE(eval("newPort():open(name)"), QVariant(true));
        QCOMPARE(run("made[1]:write(out)"), QString());
        QTRY_VERIFY_WITH_TIMEOUT(pair.drain() >= out.size(), 20000);
        QCOMPARE(pair.received.size(), out.size());
        QVERIFY(pair.received == out);

        QVERIFY(pair.send(in));
        QTRY_VERIFY_WITH_TIMEOUT(num("#got") >= in.size(), 20000);
        QVERIFY(str("got") == in);
        QCOMPARE(num("count('onError')"), 0LL);
        // The handlers get no arguments.
        QCOMPARE(num("log[1].n"), 0LL);
    }

    void twoChunksTwoHandlersOneRead()
    {
        PtyPair pair;
        QVERIFY(pair.ready());
        setGlobal("name", pair.a);
        QCOMPARE(run("mode = 'none'; p = newPort(); p:open(name)"), QString());
        const QByteArray first("one\0", 4), second("\0two", 4);
        QVERIFY(pair.send(first));
        QTRY_COMPARE(num("count('onReadyRead')"), 1LL);
        QVERIFY(pair.send(second));
        QTRY_COMPARE(num("count('onReadyRead')"), 2LL);
        QCOMPARE(eval("p:read()"), QVariant(first + second));
        QCOMPARE(eval("p:read()"), QVariant(QByteArray("")));
    }

    void openAndWriteRightAfterCreateKeepOrder()
    {
        PtyPair pair;
        QVERIFY(pair.ready());
        setGlobal("name", pair.a);
        const QByteArray data = testsupport::everyByteValue(1000);
        setGlobal("data", data);
        QCOMPARE(run("p = newPort(); p:open(name); p:write(data)"), QString());
        QTRY_VERIFY_WITH_TIMEOUT(pair.drain() >= data.size(), 10000);
        QVERIFY(pair.received == data);
        QCOMPARE(num("count('onError')"), 0LL);
    }

    void openAgainClosesFirst()
    {
        PtyPair one, two;
        QVERIFY(one.ready());
        QVERIFY(two.ready());
        setGlobal("one", one.a);
        setGlobal("two", two.a);
        QCOMPARE(run("p = newPort(); p:open(one)"), QString());
        QVERIFY(roundTrip(one));
        QCOMPARE(descriptorsOn(one.device), 1);

        // The same name again: still one descriptor, still no error.
        QCOMPARE(run("p:open(one)"), QString());
        QVERIFY(roundTrip(one));
        QCOMPARE(descriptorsOn(one.device), 1);

        // Qt refuses to open a port that is open: without the close, this
        // would be an onError and the data would not arrive.
        QCOMPARE(run("p:open(two)"), QString());
        QVERIFY(roundTrip(two));
        QCOMPARE(descriptorsOn(one.device), 0);
        QCOMPARE(descriptorsOn(two.device), 1);
        QCOMPARE(num("count('onError')"), 0LL);

        // Writes go to the line open now.
        QCOMPARE(run("p:write('to two')"), QString());
        QTRY_COMPARE(two.drain(), 6);
        QCOMPARE(two.received, QByteArray("to two"));
        QCOMPARE(one.drain(), 0);
    }

    void closeDiscardsUnreadBytes()
    {
        PtyPair pair;
        QVERIFY(pair.ready());
        setGlobal("name", pair.a);
        QCOMPARE(run("mode = 'none'; p = newPort(); p:open(name)"), QString());
        QVERIFY(pair.send("unread"));
        QTRY_COMPARE(num("count('onReadyRead')"), 1LL);
        QCOMPARE(run("p:close()"), QString());
        QCOMPARE(eval("p:read()"), QVariant(QByteArray("")));
        QTRY_COMPARE(descriptorsOn(pair.device), 0);
        QCOMPARE(num("count('onError')"), 0LL);

        // Closed lines can be opened again.
        QCOMPARE(run("mode = 'append'; p:open(name)"), QString());
        QVERIFY(roundTrip(pair));
        QCOMPARE(num("count('onError')"), 0LL);
    }

    void missingDeviceGivesOneError()
    {
        PtyPair pair;
        QVERIFY(pair.ready());
        setGlobal("good", pair.a);
        setGlobal("bad", pair.dir.filePath(QStringLiteral("no-such-tty")));
        QCOMPARE(eval("newPort():open(bad)"), QVariant(true));
        QTRY_COMPARE(num("count('onError')"), 1LL);
        QCOMPARE(num("log[1].n"), 0LL);
        // The worker does everything in order: once a later open has
        // delivered data, no more errors from the first can be on the way.
        QCOMPARE(run("made[1]:open(good)"), QString());
        QVERIFY(roundTrip(pair));
        QCOMPARE(num("count('onError')"), 1LL);
    }

    void killedPeerGivesOneErrorAndClosesThePort()
    {
        PtyPair pair, other;
        QVERIFY(pair.ready());
        QVERIFY(other.ready());
        setGlobal("name", pair.a);
        setGlobal("other", other.a);
        QCOMPARE(run("p = newPort(); p:open(name)"), QString());
        QVERIFY(roundTrip(pair));
        QCOMPARE(run("mode = 'none'"), QString());
        QVERIFY(pair.send("left unread"));
        QTRY_COMPARE(num("count('onReadyRead')"), 2LL);

        pair.kill();
        QTRY_COMPARE(num("count('onError')"), 1LL);
        // The error emptied the buffer, and the worker closed the port.
        QCOMPARE(eval("p:read()"), QVariant(QByteArray("")));
        QTRY_COMPARE(descriptorsOn(pair.device), 0);

        // Still responsive: the same port works on another line, and no
        // second error ever came from the dead one.
        QCOMPARE(run("mode = 'append'; p:open(other)"), QString());
        QVERIFY(roundTrip(other));
        QCOMPARE(num("count('onError')"), 1LL);
    }

    void lineSettingsReachTheTerminal_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<bool>("beforeOpen");
        QTest::addColumn<int>("speed");
        QTest::addColumn<QStringList>("flags");
        QTest::newRow("fixed line") << QByteArray() << true << 38400
                                    << QStringList { "-cstopb", "-crtscts", "-ixon", "-ixoff" };
        QTest::newRow("9600 8E1 before open") << QByteArray("9600, 8, 'even', 1") << true << 9600
                                              << QStringList { "-cstopb", "-crtscts", "-ixon", "-ixoff" };
        QTest::newRow("19200 two stop bits, RTS/CTS, while open")
            << QByteArray("19200, 7, 'odd', 2, 'hardware'") << false << 19200
            << QStringList { "cstopb", "crtscts", "-ixon", "-ixoff" };
        QTest::newRow("115200 XON/XOFF before open") << QByteArray("115200, 8, 'none', 1, 'software'") << true
                                                     << 115200 << QStringList { "-cstopb", "-crtscts", "ixon", "ixoff" };
        QTest::newRow("only the speed, while open") << QByteArray("1200") << false << 1200
                                                    << QStringList { "-cstopb", "-crtscts", "-ixon", "-ixoff" };
    }

    // What another program reads from the terminal while the script holds
    // it open. A pseudo-terminal keeps speed, stop bits and flow control;
    // its driver forces 8 data bits and no parity, which is why those two
    // are watched on their way to the system instead (next test).
    void lineSettingsReachTheTerminal()
    {
        QFETCH(QByteArray, line);
        QFETCH(bool, beforeOpen);
        QFETCH(int, speed);
        QFETCH(QStringList, flags);
        PtyPair pair;
        QVERIFY(pair.ready());
        setGlobal("name", pair.a);
        QCOMPARE(run("p = newPort()"), QString());
        if (!line.isEmpty() && beforeOpen)
            QCOMPARE(run("p:setLine(" + line + ")"), QString());
        QCOMPARE(run("p:open(name)"), QString());
        QVERIFY(roundTrip(pair));
        if (!line.isEmpty() && !beforeOpen) {
            QCOMPARE(run("p:setLine(" + line + ")"), QString());
            QVERIFY(roundTrip(pair));
        }
        const Stty seen = sttyOf(pair.device);
        QCOMPARE(seen.speed, speed);
        for (const QString &flag : flags)
            QVERIFY2(seen.flags.contains(flag), qPrintable(flag));
        // Data still flows both ways at the new settings.
        QCOMPARE(run("p:write('after')"), QString());
        QTRY_COMPARE(pair.drain(), 5);
        QCOMPARE(pair.received, QByteArray("after"));
    }

    void lineRequestsReachTheSystem()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("strace")).isEmpty())
            QSKIP("strace is not installed (scripts/install-deps installs it)");
        PtyPair pair;
        QVERIFY(pair.ready());
        QTemporaryDir dir;
        const QString trace = dir.filePath(QStringLiteral("ioctl.txt"));
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        // LeakSanitizer stops the world with ptrace, which strace holds.
        env.insert(QStringLiteral("ASAN_OPTIONS"), env.value(QStringLiteral("ASAN_OPTIONS")) + ":detect_leaks=0");
        child.setProcessEnvironment(env);
        child.start(QStringLiteral("strace"), { "-f", "-qq", "-e", "trace=ioctl", "-o", trace,
                                                QCoreApplication::applicationFilePath(), "--set-lines", pair.a, pair.b });
        QVERIFY(child.waitForFinished(60000));
        QVERIFY2(child.exitCode() == 0, child.readAllStandardError().constData());
        QFile file(trace);
        QVERIFY(file.open(QIODevice::ReadOnly));
        // Each terminal setting the worker asked for, as flag sets.
        QList<QSet<QString>> sets;
        const QRegularExpression tcsets(QStringLiteral("TCSETS.*c_iflag=([^,]*),.*c_cflag=([^,]*),"));
        for (const QByteArray &l : file.readAll().split('\n')) {
            const QRegularExpressionMatch m = tcsets.match(QString::fromLatin1(l));
            if (m.hasMatch()) {
                const QStringList flags = (m.captured(1) + QLatin1Char('|') + m.captured(2)).split(QLatin1Char('|'), Qt::SkipEmptyParts);
                sets.append(QSet<QString>(flags.begin(), flags.end()));
            }
        }
        QVERIFY(!sets.isEmpty());
        auto has = [](const QSet<QString> &set, const QStringList &on, const QStringList &off) {
            for (const QString &f : on)
                if (!set.contains(f))
                    return false;
            for (const QString &f : off)
                if (set.contains(f))
                    return false;
            return true;
        };
        // The open: Qt sets the frame in one go, then the speed.
        int opened = -1;
        for (int i = 0; i < sets.size() && opened < 0; ++i)
            if (has(sets[i], { "CS7", "PARENB", "CSTOPB", "CRTSCTS" }, { "PARODD", "CMSPAR", "IXON" }))
                opened = i;
        QVERIFY2(opened >= 0, "no terminal setting for 7E2 with RTS/CTS");
        const QList<QSet<QString>> later = sets.mid(opened + 1);
        auto anyLater = [&](const QStringList &on, const QStringList &off) {
            return std::any_of(later.begin(), later.end(), [&](const QSet<QString> &set) { return has(set, on, off); });
        };
        QVERIFY(anyLater({ "B9600", "CSTOPB", "CRTSCTS" }, {}));
        // While open: one setter at a time, each reaching the system.
        QVERIFY(anyLater({ "B1200" }, {}));
        QVERIFY(anyLater({ "CS5" }, {}));
        QVERIFY(anyLater({ "PARENB", "CMSPAR" }, { "PARODD" })); // space parity
        QVERIFY(anyLater({ "IXON", "IXOFF" }, { "CRTSCTS" }));
        QVERIFY(anyLater({ "B1200" }, { "CSTOPB" }));
    }

    void setLineChecksEveryArgumentAndLineReportsIt()
    {
        QCOMPARE(run("p = newPort()"), QString());
        QCOMPARE(eval("table.concat({p:line()}, ' ')"), QVariant(QByteArray("38400 8 odd 1 none")));
        QCOMPARE(run("p:setLine(19200.9, 7, 'even', 2, 'hardware')"), QString());
        QCOMPARE(eval("table.concat({p:line()}, ' ')"), QVariant(QByteArray("19200 7 even 2 hardware")));
        QCOMPARE(run("p:setLine(nil, nil, 'mark')"), QString());
        QCOMPARE(eval("table.concat({p:line()}, ' ')"), QVariant(QByteArray("19200 7 mark 2 hardware")));
        QCOMPARE(run("p:setLine(p:line())"), QString());
        QCOMPARE(eval("table.concat({p:line()}, ' ')"), QVariant(QByteArray("19200 7 mark 2 hardware")));
        QCOMPARE(eval("math.type(select(1, p:line())) .. math.type(select(4, p:line()))"),
            QVariant(QByteArray("integerinteger")));

        const QList<QPair<QByteArray, QString>> refused {
            { "0", "bad argument #1 to 'setLine' (baud rate must be a positive integer)" },
            { "-9600", "baud rate must be a positive integer" },
            { "2^40", "baud rate must be a positive integer" },
            { "'fast'", "number expected, got string" },
            { "9600, 9", "bad argument #2 to 'setLine' (data bits must be 5, 6, 7 or 8)" },
            { "9600, 4", "data bits must be 5, 6, 7 or 8" },
            { "9600, 8, 'e'",
                "bad argument #3 to 'setLine' (\"none\", \"even\", \"odd\", \"mark\" or \"space\" expected, got 'e')" },
            { "9600, 8, {}", "string expected, got table" },
            { "9600, 8, 'none', 3", "bad argument #4 to 'setLine' (stop bits must be 1 or 2)" },
            { "9600, 8, 'none', 1.5", "1.5 stop bits are not supported on this system" },
            { "9600, 8, 'none', 1, 'rts'",
                "bad argument #5 to 'setLine' (\"none\", \"hardware\" or \"software\" expected, got 'rts')" },
        };
        for (const auto &r : refused) {
            const QString error = run("p:setLine(" + r.first + ")");
            QVERIFY2(error.contains(r.second), qPrintable(r.first + " gave " + error));
        }
        // Nothing of a refused call was kept.
        QCOMPARE(eval("table.concat({p:line()}, ' ')"), QVariant(QByteArray("19200 7 mark 2 hardware")));
        QVERIFY(run("serial.SerialPort.line(qt.Timer.create())").contains("SerialPort expected, got userdata"));
        QCOMPARE(run("p:destroy()"), QString());
        QTRY_COMPARE(TestAccess::aliveSerialPorts(), 0);
        QVERIFY(run("p:setLine(9600)").contains("attempting to access deleted SerialPort"));
        QVERIFY(run("p:errorString()").contains("attempting to access deleted SerialPort"));
    }

    void errorStringGivesQtsText()
    {
        PtyPair pair;
        QVERIFY(pair.ready());
        setGlobal("bad", pair.dir.filePath(QStringLiteral("no-such-tty")));
        setGlobal("good", pair.a);
        QCOMPARE(run("p = newPort(); texts = {}\n"
                     "function MsgHandler(obj, msg) if msg == 'onError' then texts[#texts + 1] = obj:errorString() end end"),
            QString());
        QCOMPARE(eval("p:errorString()"), QVariant(QByteArray("")));
        QCOMPARE(run("p:open(bad)"), QString());
        QTRY_COMPARE(num("#texts"), 1LL);
        // In place when the handler runs, and kept afterwards.
        QCOMPARE(str("texts[1]"), QByteArray("No such file or directory"));
        QCOMPARE(run("p:open(good)"), QString());
        QTest::qWait(100);
        QCOMPARE(str("p:errorString()"), QByteArray("No such file or directory"));
        pair.kill();
        QTRY_COMPARE(num("#texts"), 2LL);
        QVERIFY(!str("texts[2]").isEmpty());
        QCOMPARE(str("p:errorString()"), str("texts[2]"));
    }

    // The Modbus RTU slave of docs/api/serial.md, as printed there, against
    // pymodbus's master: another implementation of the protocol and its CRC.
    void modbusSlaveFromTheDocsAnswersPymodbus()
    {
        const QString python = debianPython("pymodbus.client");
        if (python.isEmpty())
            QSKIP("python3-pymodbus is not installed (scripts/install-deps installs it)");
        QFile doc(QStringLiteral(ORVANE_SOURCE_DIR "/docs/api/serial.md"));
        QVERIFY(doc.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(doc.readAll());
        const int section = text.indexOf(QLatin1String("## Example: a Modbus RTU slave"));
        QVERIFY(section >= 0);
        const int begin = text.indexOf(QLatin1String("```lua\n"), section) + 7;
        const int end = text.indexOf(QLatin1String("```"), begin);
        QVERIFY(begin > 7 && end > begin);
        QString example = text.mid(begin, end - begin);
        PtyPair pair;
        QVERIFY(pair.ready());
        QCOMPARE(example.count(QLatin1String("\"/dev/ttyUSB0\"")), 1);
        example.replace(QLatin1String("\"/dev/ttyUSB0\""), QLatin1Char('"') + pair.a + QLatin1Char('"'));
        QCOMPARE(run(example.toUtf8()), QString());
        // The slave opened its end at 9600 (the pty keeps no parity to see).
        QTRY_COMPARE(sttyOf(pair.device).speed, 9600);

        const int requests = 2000;
        QProcess master;
        master.start(python, { QStringLiteral(ORVANE_SOURCE_DIR "/tests/support/peers/modbus_master.py"), pair.b,
                                 QStringLiteral("17"), QString::number(requests) });
        QVERIFY(master.waitForStarted(10000));
        // The loop must run for the slave to answer: wait, do not block.
        QTRY_VERIFY_WITH_TIMEOUT(master.state() == QProcess::NotRunning, 240000);
        const QByteArray out = master.readAllStandardOutput();
        printf("pymodbus master, 9600 8E1: %s", out.constData());
        fflush(stdout);
        QVERIFY2(master.exitCode() == 0, (out + master.readAllStandardError()).constData());
        QVERIFY(out.contains(QByteArray("\"requests\": ") + QByteArray::number(requests)));
        QVERIFY(out.contains("\"failures\": 0,"));
        deleteScriptPorts(); // the example's port is its own local
    }

    void destroyDuringTraffic()
    {
        PtyPair pair;
        QVERIFY(pair.ready());
        setGlobal("name", pair.a);
        QCOMPARE(run("mode = 'count'; p = newPort(); p:open(name)"), QString());
        QPointer<SerialPort> port = portOf("p");
        QPointer<SerialPortX> worker = TestAccess::serialWorker(port);
        QVERIFY(port && worker);
        {
            Streamer streamer(pair.fd);
            QTRY_VERIFY_WITH_TIMEOUT(num("received") > 200000, 20000);
            QCOMPARE(run("p:destroy()"), QString());
            QTRY_VERIFY(port.isNull());
            // Joined in the destructor: the worker went with its thread.
            QVERIFY(worker.isNull());
        }
        QCOMPARE(descriptorsOn(pair.device), 0);
        QVERIFY(run("p:read()").contains("attempting to access deleted SerialPort"));
        QCOMPARE(TestAccess::aliveSerialPorts(), 0);
    }

    void closingTheInterpreterDuringTraffic()
    {
        PtyPair pair;
        QVERIFY(pair.ready());
        setGlobal("name", pair.a);
        QCOMPARE(run("mode = 'count'; p = newPort(); p:open(name)"), QString());
        QPointer<SerialPort> port = portOf("p");
        QPointer<SerialPortX> worker = TestAccess::serialWorker(port);
        {
            Streamer streamer(pair.fd);
            QTRY_VERIFY_WITH_TIMEOUT(num("received") > 200000, 20000);
            f->close();
            // Arrivals keep coming and are dropped: no closed state is called.
            const qint64 before = streamer.written;
            QTRY_VERIFY(streamer.written > before + 200000);
            QVERIFY(!port.isNull());
            QCOMPARE(TestAccess::aliveSerialPorts(), 1);
            // What the program's end does with ports nobody deleted.
            ObjectTracker::deleteOrphans();
        }
        QVERIFY(port.isNull());
        QVERIFY(worker.isNull());
        QCOMPARE(descriptorsOn(pair.device), 0);
        QCOMPARE(TestAccess::aliveSerialPorts(), 0);
    }

    void argumentErrors()
    {
        QCOMPARE(run("p = newPort()"), QString());
        QVERIFY(run("p:open()").contains("string expected, got no value"));
        QVERIFY(run("p:write({})").contains("string expected, got table"));
        QVERIFY(run("serial.SerialPort.read(qt.Timer.create())").contains("SerialPort expected, got userdata"));
        QVERIFY(run("serial.SerialPort.close(nil)").contains("SerialPort expected, got nil"));
        QCOMPARE(run("p:destroy()"), QString());
        QTRY_COMPARE(TestAccess::aliveSerialPorts(), 0);
        QVERIFY(run("p:open('x')").contains("attempting to access deleted SerialPort"));
    }

    void collectingTheHandleKeepsThePort()
    {
        PtyPair pair;
        QVERIFY(pair.ready());
        setGlobal("name", pair.a);
        QCOMPARE(run("local p = serial.SerialPort.create(); p:open(name); p = nil; collectgarbage(); collectgarbage()"),
            QString());
        QCOMPARE(TestAccess::aliveSerialPorts(), 1);
        QVERIFY(pair.send("still here"));
        QTRY_COMPARE(str("got"), QByteArray("still here"));
        QCOMPARE(run("log[1].obj:destroy()"), QString());
    }
    void exitDuringTraffic()
    {
        PtyPair pair;
        QVERIFY(pair.ready());
        QProcess child;
        child.setProcessChannelMode(QProcess::SeparateChannels);
        child.start(QCoreApplication::applicationFilePath(), { "--exit-during-traffic", pair.a, pair.b });
        QVERIFY(child.waitForStarted(5000));
        QVERIFY(child.waitForFinished(60000));
        const QByteArray err = child.readAllStandardError();
        QVERIFY2(child.exitStatus() == QProcess::NormalExit, err.constData());
        QVERIFY2(child.exitCode() == 0, err.constData());
        QVERIFY2(err.contains("exiting with 1 port(s) alive\n"), err.constData());
        QVERIFY2(err.contains("after the application: 0 port(s) alive\n"), err.constData());
    }

    void demoPageMonitorsALine()
    {
        PtyPair pair;
        QVERIFY(pair.ready());
        setGlobal("source", QStringLiteral(ORVANE_SOURCE_DIR));
        QCOMPARE(run("page = dofile(source .. '/modules/demo/serial.lua')\n"
                     "parent = qt.QWidget.create(); parent:setGeometry(0, 0, 700, 400)\n"
                     "page.build(parent)\n"
                     "function MsgHandler(h, n, ...) return page.message(h, n, ...) end"),
            QString());
        lua_getglobal(f->L, "parent");
        QWidget *parent = luaX_toqobject<QWidget>(f->L, -1, "QWidget");
        lua_pop(f->L, 1);
        QVERIFY(parent);
        const QList<QLineEdit *> edits = parent->findChildren<QLineEdit *>(QString(), Qt::FindDirectChildrenOnly);
        const QList<QPushButton *> buttons = parent->findChildren<QPushButton *>(QString(), Qt::FindDirectChildrenOnly);
        auto *log = parent->findChild<QPlainTextEdit *>();
        QCOMPARE(edits.size(), 3); // port name, status, line to send
        QCOMPARE(buttons.size(), 5); // next port, open, close, send, line settings
        QVERIFY(log);
        QCOMPARE(TestAccess::aliveSerialPorts(), 1);

        // Two presses of the line button: 9600 8E1, Modbus RTU's line.
        QTest::mouseClick(buttons[4], Qt::LeftButton);
        QTest::mouseClick(buttons[4], Qt::LeftButton);
        QCOMPARE(edits[1]->text(), QStringLiteral("Line 9600 8E1, used at the next open"));
        edits[0]->setText(pair.a);
        QTest::mouseClick(buttons[1], Qt::LeftButton);
        QCOMPARE(edits[1]->text(), QStringLiteral("Opening %1 (9600 8E1)").arg(pair.a));
        QVERIFY(pair.send(QByteArray("hi\0\x7f", 4)));
        QTRY_VERIFY(log->toPlainText().contains("<< hi..              68 69 00 7F"));

        edits[2]->setText(QStringLiteral("hello"));
        QTest::keyClick(edits[2], Qt::Key_Return);
        QTRY_COMPARE(pair.drain(), 6);
        QCOMPARE(pair.received, QByteArray("hello\n"));
        QVERIFY(log->toPlainText().contains(">> hello"));
        QCOMPARE(edits[2]->text(), QString());
        QCOMPARE(sttyOf(pair.device).speed, 9600);

        pair.kill();
        QTRY_VERIFY(edits[1]->text().startsWith("Error on " + pair.a + ": "));
        QVERIFY(log->toPlainText().contains("-- error: "));
        delete parent;
        deleteScriptPorts(); // the page keeps its port for the program's life
    }
};

int main(int argc, char **argv)
{
    if (argc == 4 && !strcmp(argv[1], "--exit-during-traffic"))
        return exitDuringTraffic(argc, argv);
    if (argc == 4 && !strcmp(argv[1], "--set-lines"))
        return setLines(argc, argv);
    QApplication app(argc, argv);
    app.setAttribute(Qt::AA_Use96Dpi, true);
    SerialTest test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "serial.moc"
