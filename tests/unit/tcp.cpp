// TcpServer and TcpSocket against real peers: socat on the other end of the
// loopback (a program we did not write), or a plain Qt socket where the test
// must look at the peer's state. Payloads carry every byte value.
#include "testsupport.h"
#include "comms/tcp.h"
#include "luafixture.h"
#include "luax.h"

#include <QPointer>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <algorithm>
#include <memory>

using testsupport::LuaFixture;
using testsupport::StdoutCapture;

namespace {

// Messages land in `log`; `handlers` lets a test answer one of them.
const char kPrelude[] = R"lua(
log, handlers, made = {}, {}, {}
function MsgHandler(obj, msg, ...)
  log[#log + 1] = {obj = obj, msg = msg, n = select('#', ...), ...}
  local h = handlers[msg]
  if h then return h(obj, ...) end
end
function count(msg, obj)
  local n = 0
  for _, e in ipairs(log) do
    if e.msg == msg and (obj == nil or rawequal(e.obj, obj)) then n = n + 1 end
  end
  return n
end
function first(msg, obj)
  for _, e in ipairs(log) do
    if e.msg == msg and (obj == nil or rawequal(e.obj, obj)) then return e end
  end
end
function messages()
  local seen, list = {}, {}
  for _, e in ipairs(log) do
    if not seen[e.msg] then seen[e.msg] = true; list[#list + 1] = e.msg end
  end
  table.sort(list)
  return table.concat(list, ",")
end
function newServer(...) local s = qt.TcpServer.create(...); made[#made + 1] = s; return s end
function newSocket() local s = qt.TcpSocket.create(); made[#made + 1] = s; return s end
)lua";


quint16 freePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

// socat as the peer, ended by its own process id.
class Socat {
public:
    explicit Socat(const QStringList &args)
    {
        QObject::connect(
            &process, &QProcess::readyReadStandardOutput, [this] { received += process.readAllStandardOutput(); });
        QObject::connect(
            &process, &QProcess::readyReadStandardError, [this] { log += process.readAllStandardError(); });
        process.start(QStringLiteral("socat"), args);
    }
    ~Socat()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }
    bool started() { return process.waitForStarted(5000); }
    bool finished() const { return process.state() == QProcess::NotRunning; }

    QProcess process;
    QByteArray received;
    QByteArray log;
};

} // namespace

class TcpTest : public QObject {
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
    void setGlobal(const char *name, qlonglong value)
    {
        lua_pushinteger(f->L, lua_Integer(value));
        lua_setglobal(f->L, name);
    }

    TcpSocket *wrapperOf(const char *global)
    {
        lua_getglobal(f->L, global);
        TcpSocket *w = luaX_toqobject<TcpSocket>(f->L, -1, "TcpSocket");
        lua_pop(f->L, 1);
        return w;
    }

    // socat connecting to a script server at port, fed from our side.
    std::unique_ptr<Socat> socatClient(quint16 port)
    {
        return std::make_unique<Socat>(
            QStringList { "-b", "65536", "STDIO", QStringLiteral("TCP:127.0.0.1:%1").arg(port) });
    }

    // socat listening for a script client; waits until it really listens.
    std::unique_ptr<Socat> socatListener(quint16 port)
    {
        auto s = std::make_unique<Socat>(QStringList {
            "-d", "-d", "-b", "65536", QStringLiteral("TCP-LISTEN:%1,bind=127.0.0.1,reuseaddr").arg(port), "STDIO" });
        return s;
    }

private slots:
    void init()
    {
        f = std::make_unique<LuaFixture>();
        QCOMPARE(run(kPrelude), QString());
    }

    void cleanup()
    {
        // Scripts' servers and sockets have no Qt parent; end them so that
        // nothing outlives the test.
        if (f->L)
            run("for _, h in ipairs(made) do pcall(h.destroy, h) end");
        for (int i = 0; i < 3; ++i)
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        f.reset();
    }

    void scriptServerEchoesEveryByteToSocat_data()
    {
        QTest::addColumn<int>("size");
        QTest::newRow("every byte once") << 256;
        QTest::newRow("one chunk and a bit") << 65537;
        QTest::newRow("a megabyte") << (1 << 20);
    }

    void scriptServerEchoesEveryByteToSocat()
    {
        QFETCH(int, size);
        QCOMPARE(run("server = newServer('127.0.0.1')\n"
                     "handlers.onNewConnection = function(srv) peer = srv:socket() end\n"
                     "handlers.onReadyRead = function(s) s:write(s:read()) end"),
            QString());
        const quint16 port = quint16(num("server:port()"));
        QVERIFY(port > 0);
        auto socat = socatClient(port);
        QVERIFY(socat->started());
        const QByteArray data = testsupport::everyByteValue(size);
        socat->process.write(data);
        QTRY_VERIFY_WITH_TIMEOUT(socat->received.size() >= data.size(), 20000);
        QCOMPARE(socat->received.size(), data.size());
        QVERIFY(socat->received == data);
        QCOMPARE(num("count('onNewConnection')"), 1LL);

        // socat ends its side: the script hears Qt's words for it.
        socat->process.closeWriteChannel();
        QTRY_COMPARE(num("count('onDisconnected', peer)"), 1LL);
        QCOMPARE(str("first('onError', peer)[1]"), QByteArray("The remote host closed the connection"));
        QCOMPARE(num("first('onError', peer).n"), 1LL);
        QCOMPARE(num("first('onDisconnected', peer).n"), 0LL);
        QTRY_VERIFY(socat->finished());
    }

    void scriptClientTalksToSocatListener()
    {
        const quint16 port = freePort();
        QVERIFY(port);
        auto socat = socatListener(port);
        QVERIFY(socat->started());
        QTRY_VERIFY_WITH_TIMEOUT(socat->log.contains("listening on"), 10000);

        const QByteArray out = testsupport::everyByteValue(200000);
        const QByteArray back = testsupport::everyByteValue(300000);
        setGlobal("payload", out);
        setGlobal("port", port);
        QTest::ignoreMessage(QtDebugMsg,
            QRegularExpression(QStringLiteral("^Socket state changed QAbstractSocket::ConnectedState "
                                              "QHostAddress\\(\"127\\.0\\.0\\.1\"\\) \"127\\.0\\.0\\.1\" %1$")
                                   .arg(port)));
        QCOMPARE(run("got = ''\n"
                     "c = newSocket()\n"
                     "handlers.onConnected = function(s) s:write(payload) end\n"
                     "handlers.onReadyRead = function(s) got = got .. s:read() end\n"
                     "c:connect('127.0.0.1', port)"),
            QString());
        QTRY_VERIFY_WITH_TIMEOUT(socat->received.size() >= out.size(), 20000);
        QVERIFY(socat->received == out);
        QCOMPARE(num("count('onConnected', c)"), 1LL);

        socat->process.write(back);
        QTRY_VERIFY_WITH_TIMEOUT(num("#got") >= back.size(), 20000);
        QVERIFY(str("got") == back);

        QCOMPARE(str("select(1, c:peer())"), QByteArray("127.0.0.1"));
        QCOMPARE(num("select(2, c:peer())"), qlonglong(port));

        socat->process.closeWriteChannel();
        QTRY_COMPARE(num("count('onDisconnected', c)"), 1LL);
        QCOMPARE(str("first('onError', c)[1]"), QByteArray("The remote host closed the connection"));
        // State changes reach the log only, never the script.
        QCOMPARE(str("messages()"), QByteArray("onConnected,onDisconnected,onError,onReadyRead"));
    }

    void twoPendingConnectionsNeedTwoSocketCalls()
    {
        QTest::ignoreMessage(QtDebugMsg, "TcpServer::onNewConnection()");
        QTest::ignoreMessage(QtDebugMsg, "TcpServer::onNewConnection()");
        QCOMPARE(run("server = newServer('127.0.0.1')"), QString());
        const quint16 port = quint16(num("server:port()"));
        QTcpSocket a, b;
        a.connectToHost(QHostAddress::LocalHost, port);
        b.connectToHost(QHostAddress::LocalHost, port);
        QTRY_COMPARE(num("count('onNewConnection', server)"), 2LL);
        QCOMPARE(num("first('onNewConnection').n"), 0LL);

        QCOMPARE(run("s1 = server:socket(); s2 = server:socket(); n3 = select('#', server:socket())"), QString());
        QCOMPARE(eval("getmetatable(s1).__classname"), QVariant(QByteArray("TcpSocket")));
        QCOMPARE(eval("getmetatable(s2).__classname"), QVariant(QByteArray("TcpSocket")));
        QCOMPARE(eval("rawequal(s1, s2)"), QVariant(false));
        QCOMPARE(num("n3"), 0LL);

        // Nothing sent yet: an empty string, not nil.
        QCOMPARE(eval("s1:read()"), QVariant(QByteArray("")));

        const QList<quint16> clientPorts { a.localPort(), b.localPort() };
        QVERIFY(clientPorts.contains(quint16(num("select(2, s1:peer())"))));
        QVERIFY(clientPorts.contains(quint16(num("select(2, s2:peer())"))));
        QVERIFY(num("select(2, s1:peer())") != num("select(2, s2:peer())"));

        QTcpSocket &first = num("select(2, s1:peer())") == a.localPort() ? a : b;
        const QByteArray zeroes("a\0b\0\0c", 6);
        first.write(zeroes);
        QTRY_VERIFY(num("count('onReadyRead', s1)") >= 1);
        QCOMPARE(eval("s1:read()"), QVariant(zeroes));
        QCOMPARE(num("count('onReadyRead', s2)"), 0LL);
    }

    void refusedConnectionReachesOnError()
    {
        const quint16 port = freePort(); // nobody listens there any more
        QVERIFY(port);
        setGlobal("port", port);
        QCOMPARE(run("c = newSocket(); c:connect('127.0.0.1', port)"), QString());
        QTRY_COMPARE(num("count('onError', c)"), 1LL);
        QCOMPARE(str("first('onError', c)[1]"), QByteArray("Connection refused"));
        QCOMPARE(num("count('onConnected')"), 0LL);
    }

    void errorInOnReadyReadIsPrintedAndIgnored()
    {
        QCOMPARE(run("server = newServer('127.0.0.1'); reads = 0\n"
                     "handlers.onNewConnection = function(srv) peer = srv:socket() end\n"
                     "handlers.onReadyRead = function(s) reads = reads + 1; s:read(); error('reader broke') end"),
            QString());
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, quint16(num("server:port()")));
        QTRY_COMPARE(eval("peer ~= nil"), QVariant(true));
        StdoutCapture capture;
        client.write("x");
        QTRY_COMPARE(num("reads"), 1LL);
        client.write("y");
        QTRY_COMPARE(num("reads"), 2LL);
        const QString out = capture.text();
        const QRegularExpression line(QStringLiteral("LuaMsgHandler onReadyRead 0x[0-9a-f]+ TcpSocket\n"));
        QCOMPARE(out.count(line), 2);
        QCOMPARE(out.count(QStringLiteral("Error: LuaMsgHandler\n")), 2);
        QVERIFY(out.contains("reader broke"));
        // The handler's failure changed nothing for the connection.
        QCOMPARE(client.state(), QAbstractSocket::ConnectedState);
    }

    void anyAddressWithSystemPort()
    {
        QCOMPARE(run("server = newServer('0.0.0.0')"), QString());
        QCOMPARE(str("server:address()"), QByteArray("0.0.0.0"));
        const qlonglong port = num("server:port()");
        QVERIFY(port > 0 && port <= 65535);
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, quint16(port));
        QTRY_COMPARE(num("count('onNewConnection', server)"), 1LL);
    }

    void serverPortKeepsLow16Bits_data()
    {
        QTest::addColumn<QByteArray>("given");
        QTest::addColumn<int>("expected");
        QTest::newRow("8080.9") << QByteArray("8080.9") << 8080;
        QTest::newRow("70000") << QByteArray("70000") << 4464;
        QTest::newRow("-1") << QByteArray("-1") << 65535;
        QTest::newRow("string 70000.5") << QByteArray("'70000.5'") << 4464;
    }

    void serverPortKeepsLow16Bits()
    {
        QFETCH(QByteArray, given);
        QFETCH(int, expected);
        {
            QTcpServer probe;
            if (!probe.listen(QHostAddress::LocalHost, quint16(expected)))
                QSKIP("port in use on this machine");
        }
        QTest::ignoreMessage(QtDebugMsg, "lserver_create true");
        QCOMPARE(run("server = newServer('127.0.0.1', " + given + ")"), QString());
        QCOMPARE(num("server:port()"), qlonglong(expected));
        QCOMPARE(str("server:address()"), QByteArray("127.0.0.1"));
    }

    void connectPortKeepsLow16Bits_data()
    {
        QTest::addColumn<QByteArray>("given");
        QTest::addColumn<int>("expected");
        QTest::newRow("70000") << QByteArray("70000") << 4464;
        QTest::newRow("-1") << QByteArray("-1") << 65535;
        QTest::newRow("4464.0") << QByteArray("4464.0") << 4464;
    }

    void connectPortKeepsLow16Bits()
    {
        QFETCH(QByteArray, given);
        QFETCH(int, expected);
        QTcpServer listener;
        if (!listener.listen(QHostAddress::LocalHost, quint16(expected)))
            QSKIP("port in use on this machine");
        QCOMPARE(run("c = newSocket(); c:connect('127.0.0.1', " + given + ")"), QString());
        QTRY_COMPARE(num("count('onConnected', c)"), 1LL);
        QVERIFY(listener.hasPendingConnections());
    }

    void connectWantsAnIntegerPort()
    {
        QCOMPARE(run("c = newSocket()"), QString());
        QVERIFY(run("c:connect('127.0.0.1', 8080.9)").contains("number has no integer representation"));
        QVERIFY(run("c:connect('127.0.0.1')").contains("number expected, got no value"));
        QVERIFY(run("c:connect(nil, 80)").contains("string expected, got nil"));
        QVERIFY(run("c:write()").contains("string expected, got no value"));
        QVERIFY(run("qt.TcpServer.create('127.0.0.1', 'x')").contains("number expected, got string"));
        QVERIFY(run("qt.TcpSocket.read(qt.Timer.create())").contains("TcpSocket expected, got userdata"));
        QVERIFY(run("qt.TcpServer.port(c)").contains("TcpServer expected, got userdata"));
    }

    void failedListenStillGivesAHandle()
    {
        QTcpServer holder;
        QVERIFY(holder.listen(QHostAddress::LocalHost, 0));
        setGlobal("port", holder.serverPort());
        QTest::ignoreMessage(QtDebugMsg, "lserver_create false");
        QCOMPARE(run("server = newServer('127.0.0.1', port)"), QString());
        QCOMPARE(eval("getmetatable(server).__classname"), QVariant(QByteArray("TcpServer")));
        QCOMPARE(num("server:port()"), 0LL);
        QCOMPARE(eval("select('#', server:socket())"), QVariant(0LL));
    }

    void collectedHandleLeavesTheConnectionOpen()
    {
        QTcpServer listener;
        QVERIFY(listener.listen(QHostAddress::LocalHost, 0));
        setGlobal("port", listener.serverPort());
        QCOMPARE(run("c = qt.TcpSocket.create(); c:connect('127.0.0.1', port)"), QString());
        QTRY_COMPARE(num("count('onConnected', c)"), 1LL);
        QTRY_VERIFY(listener.hasPendingConnections());
        QTcpSocket *peer = listener.nextPendingConnection();
        QPointer<TcpSocket> wrapper = wrapperOf("c");
        QVERIFY(wrapper);
        QTcpSocket *socket = wrapper->tcpSocket();

        // The only way a live socket's handle is ever collected: the
        // interpreter goes away.
        StdoutCapture capture;
        f->close();
        QVERIFY(capture.text().contains(QString::asprintf("lsocket_gc %p\n", static_cast<void *>(wrapper.data()))));

        QVERIFY(wrapper);
        QCOMPARE(socket->state(), QAbstractSocket::ConnectedState);
        peer->write("still here");
        QTRY_COMPARE(socket->bytesAvailable(), qint64(10));
        QCOMPARE(socket->readAll(), QByteArray("still here"));
        QCOMPARE(peer->state(), QAbstractSocket::ConnectedState);
        delete socket; // nothing else owns it now
        QVERIFY(wrapper.isNull());
    }

    void destroyClosesAClientConnection()
    {
        QTcpServer listener;
        QVERIFY(listener.listen(QHostAddress::LocalHost, 0));
        setGlobal("port", listener.serverPort());
        QCOMPARE(run("c = newSocket(); c:connect('127.0.0.1', port)"), QString());
        QTRY_COMPARE(num("count('onConnected', c)"), 1LL);
        QTRY_VERIFY(listener.hasPendingConnections());
        QTcpSocket *peer = listener.nextPendingConnection();
        QSignalSpy peerClosed(peer, &QTcpSocket::disconnected);
        QPointer<QTcpSocket> socket = wrapperOf("c")->tcpSocket();

        QCOMPARE(run("c:destroy()"), QString());
        QTRY_VERIFY(peerClosed.count() == 1);
        QTRY_VERIFY(socket.isNull());
        QVERIFY(run("c:read()").contains("attempting to access deleted TcpSocket"));
        // The script let it go: no handler calls for its end.
        QCOMPARE(num("count('onDisconnected', c) + count('onError', c)"), 0LL);
    }

    void destroyClosesAnAcceptedConnection()
    {
        QCOMPARE(run("server = newServer('127.0.0.1')\n"
                     "handlers.onNewConnection = function(srv) peer = srv:socket() end"),
            QString());
        auto socat = socatClient(quint16(num("server:port()")));
        QVERIFY(socat->started());
        QTRY_COMPARE(eval("peer ~= nil"), QVariant(true));
        QPointer<QTcpSocket> socket = wrapperOf("peer")->tcpSocket();
        QVERIFY(socket);
        QCOMPARE(run("peer:write('bye\\0!'); peer:destroy()"), QString());
        // socat sees the end of the stream (after what was written) and quits.
        QTRY_VERIFY_WITH_TIMEOUT(socat->finished(), 10000);
        QCOMPARE(socat->process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(socat->process.exitCode(), 0);
        QCOMPARE(socat->received, QByteArray("bye\0!", 5));
        QTRY_VERIFY(socket.isNull());
    }

    void disconnectAndCloseEndTheConnection()
    {
        QTcpServer listener;
        QVERIFY(listener.listen(QHostAddress::LocalHost, 0));
        setGlobal("port", listener.serverPort());
        QCOMPARE(run("c = newSocket(); c:connect('127.0.0.1', port)\n"
                     "handlers.onConnected = function(s) s:write('last words'); s:disconnect() end"),
            QString());
        QTRY_VERIFY(listener.hasPendingConnections());
        QTcpSocket *peer = listener.nextPendingConnection();
        QByteArray heard;
        QTRY_VERIFY((heard += peer->readAll(), peer->state() == QAbstractSocket::UnconnectedState));
        QCOMPARE(heard + peer->readAll(), QByteArray("last words"));
        QTRY_COMPARE(num("count('onDisconnected', c)"), 1LL);

        // close() on a fresh connection ends it at once.
        QCOMPARE(run("d = newSocket(); d:connect('127.0.0.1', port)\n"
                     "handlers.onConnected = function(s) s:close() end"),
            QString());
        QTRY_VERIFY(listener.hasPendingConnections());
        QTcpSocket *peer2 = listener.nextPendingConnection();
        QTRY_COMPARE(peer2->state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(num("count('onDisconnected', d)"), 1LL);
    }
};

QTEST_MAIN(TcpTest)
#include "tcp.moc"
