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
#include <QFileInfo>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QRandomGenerator>
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

        lua_State *L = luaX_newstate();
        luaL_requiref(L, "qt.core", luaopen_qt_core, 0);
        orvane::preloadModules(L, orvane::builtinModules());
        lua_settop(L, 0);
        lua_pushlstring(L, a.constData(), size_t(a.size()));
        lua_setglobal(L, "name");
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

class SerialTest : public QObject {
    Q_OBJECT

    std::unique_ptr<LuaFixture> f;

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
        QCOMPARE(buttons.size(), 4); // next port, open, close, send
        QVERIFY(log);
        QCOMPARE(TestAccess::aliveSerialPorts(), 1);

        edits[0]->setText(pair.a);
        QTest::mouseClick(buttons[1], Qt::LeftButton);
        QVERIFY(edits[1]->text().startsWith("Opening "));
        QVERIFY(pair.send(QByteArray("hi\0\x7f", 4)));
        QTRY_VERIFY(log->toPlainText().contains("<< hi..              68 69 00 7F"));

        edits[2]->setText(QStringLiteral("hello"));
        QTest::keyClick(edits[2], Qt::Key_Return);
        QTRY_COMPARE(pair.drain(), 6);
        QCOMPARE(pair.received, QByteArray("hello\n"));
        QVERIFY(log->toPlainText().contains(">> hello"));
        QCOMPARE(edits[2]->text(), QString());

        pair.kill();
        QTRY_VERIFY(edits[1]->text().startsWith("Error on "));
        delete parent;
        // The page keeps its port for the program's life.
        for (const QPointer<QObject> &object : TestAccess::adopted(ObjectTracker::instance(f->L)))
            delete qobject_cast<SerialPort *>(object.data());
    }
};

int main(int argc, char **argv)
{
    if (argc == 4 && !strcmp(argv[1], "--exit-during-traffic"))
        return exitDuringTraffic(argc, argv);
    QApplication app(argc, argv);
    app.setAttribute(Qt::AA_Use96Dpi, true);
    SerialTest test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "serial.moc"
