// The end of a script's life: after onShutdown nothing native reaches it any
// more, and the parentless objects it made (servers, client sockets, serial
// ports, discovery objects) are deleted once the interpreter is closed.
#include "comms/bonjour.h"
#include "internals.h"
#include "comms/serialport.h"
#include "comms/tcp.h"
#include "luafixture.h"
#include "luax.h"
#include "modulelocator.h"
#include "timers/timer.h"
#include "tracker.h"

#include <QObject>
#include <QPointer>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

using testsupport::LuaFixture;

namespace {

QObject *objectOf(LuaFixture &f, const char *global, const char *className)
{
    lua_getglobal(f.L, global);
    auto *object = static_cast<QObject *>(luaX_toobject(f.L, -1, className));
    lua_pop(f.L, 1);
    return object;
}

} // namespace

class Shutdown : public QObject
{
    Q_OBJECT

private slots:
    void nothingReachesTheScriptAfterShutDown()
    {
        LuaFixture f;
        orvane::preloadModules(f.L, orvane::builtinModules());
        QCOMPARE(f.run(R"lua(
            ticks, messages = 0, 0
            function MsgHandler(obj, msg) messages = messages + 1 end
            bonjour = require("bonjour.core").Bonjour.create()
            timer = qt.Timer.create()
            timer:setTimeout(5)
            timer.onTimeout = function() ticks = ticks + 1 end
            timer:start()
        )lua"),
                 QString());
        // Both sources really reach the script first.
        QTRY_VERIFY(f.eval("ticks").toInt() > 0 && f.eval("messages").toInt() > 0);

        auto *timer = qobject_cast<Timer *>(objectOf(f, "timer", "Timer"));
        auto *bonjour = qobject_cast<Bonjour *>(objectOf(f, "bonjour", "Bonjour"));
        QVERIFY(timer && bonjour);
        ObjectTracker *tracker = ObjectTracker::instance(f.L);
        QCOMPARE(ObjectTracker::forObject(timer), tracker);
        tracker->shutDown();
        QCOMPARE(ObjectTracker::forObject(timer), nullptr);
        QCOMPARE(ObjectTracker::forObject(bonjour), nullptr);

        const int ticks = f.eval("ticks").toInt();
        const int messages = f.eval("messages").toInt();
        QSignalSpy fired(timer->timer, &QTimer::timeout);
        QSignalSpy ticked(bonjour->findChild<QTimer *>(), &QTimer::timeout);
        QTRY_VERIFY(fired.count() >= 5 && ticked.count() >= 5);
        QCOMPARE(f.eval("ticks").toInt(), ticks);
        QCOMPARE(f.eval("messages").toInt(), messages);
        // A direct dispatch is refused as well.
        QCOMPARE(tracker->dispatch(nullptr, "onShutdown", nullptr), 0);
        QCOMPARE(f.eval("messages").toInt(), messages);
        QCOMPARE(f.run("bonjour:destroy()"), QString());
    }

    void orphansGoAfterTheInterpreterCloses()
    {
        QPointer<QObject> server, client, clientWrapper, port, bonjour, kept, destroyed;
        QObject keeper;
        {
            LuaFixture f;
            orvane::preloadModules(f.L, orvane::builtinModules());
            QCOMPARE(f.run(R"lua(
                server = qt.TcpServer.create("127.0.0.1", 0)
                client = qt.TcpSocket.create()
                client:connect("127.0.0.1", server:port())
                port = require("serial.core").SerialPort.create()
                bonjour = require("bonjour.core").Bonjour.create()
                kept = qt.TcpServer.create("127.0.0.1", 0)
                destroyed = qt.TcpServer.create("127.0.0.1", 0)
                function MsgHandler() end
            )lua"),
                     QString());
            server = objectOf(f, "server", "TcpServer");
            clientWrapper = objectOf(f, "client", "TcpSocket");
            client = clientWrapper ? clientWrapper->parent() : nullptr;
            port = objectOf(f, "port", "SerialPort");
            bonjour = objectOf(f, "bonjour", "Bonjour");
            kept = objectOf(f, "kept", "TcpServer");
            destroyed = objectOf(f, "destroyed", "TcpServer");
            QVERIFY(server && qobject_cast<QTcpSocket *>(client) && port && bonjour && kept && destroyed);
            // Given an owner natively: no longer an orphan.
            kept->setParent(&keeper);
            QCOMPARE(f.run("destroyed:destroy()"), QString());
            QTRY_VERIFY(!destroyed);
            const int ports = TestAccess::aliveSerialPorts();
            f.close();
            // Closing alone deletes nothing: finalizers may still have
            // needed them, and the state was mid-close.
            QVERIFY(server && client && clientWrapper && port && bonjour && kept);
            QCOMPARE(TestAccess::aliveSerialPorts(), ports);
        }
        ObjectTracker::deleteOrphans();
        QVERIFY(!server);
        QVERIFY(!client);
        QVERIFY(!clientWrapper); // went with its socket
        QVERIFY(!port);
        QVERIFY(!bonjour);
        QVERIFY(kept);
        QCOMPARE(kept->parent(), &keeper);
        // A second call finds nothing left to delete.
        ObjectTracker::deleteOrphans();
        QVERIFY(kept);
    }
};

QTEST_MAIN(Shutdown)
#include "shutdown.moc"
