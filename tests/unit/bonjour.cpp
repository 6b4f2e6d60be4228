// bonjour.core as scripts see it: the module and class shape, the 10 ms tick
// and its fatal failure, the argument rules, the full service type rebuilt
// from a browser, machineID's choice of interface, and, against a real
// avahi-daemon on the loopback with avahi's own tools as independent peers,
// publishing, browsing, resolving down to an IPv4 address, and removal.
// Without a daemon, every request must fail in the log and never hang.
#include "app/modulelocator.h"
#include "internals.h"
#include "comms/bonjour.h"
#include "comms/zeroconf.h"
#include "luafixture.h"
#include "luax.h"
#include "msglog.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QMetaMethod>
#include <QPointer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>

#include <cstdio>
#include <memory>

using testsupport::LuaFixture;
using testsupport::StdoutCapture;

namespace {

// Every Qt message of the process, kept while a test runs.
QStringList debugLines;

void recordMessage(QtMsgType, const QMessageLogContext &, const QString &message)
{
    debugLines << message;
}

bool logHas(const QString &needle)
{
    for (const QString &l : debugLines)
        if (l.contains(needle))
            return true;
    return false;
}

QString uniqueName(const char *what)
{
    static int serial = 0;
    return QStringLiteral("orv-%1-%2-%3").arg(QLatin1String(what)).arg(QCoreApplication::applicationPid()).arg(++serial);
}

} // namespace

class BonjourTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<LuaFixture> f;
    QtMessageHandler previousHandler = nullptr;

    QString run(const QByteArray &code) { return f->run(code); }
    QVariant eval(const QByteArray &expression) { return f->eval(expression); }
    qlonglong num(const QByteArray &expression) { return eval(expression).toLongLong(); }
    QStringList logged(std::initializer_list<const char *> only = {}) { return testsupport::logged(*f, only); }

    Bonjour *bonjourOf(const char *global) { return testsupport::globalObject<Bonjour>(*f, global); }

    template <class T>
    static QList<T *> childrenOf(QObject *o)
    {
        return o->findChildren<T *>(QString(), Qt::FindDirectChildrenOnly);
    }

    static testsupport::Run runDriver(const QByteArray &code, int limitMs,
                                      const QProcessEnvironment &env = testsupport::childEnvironment())
    {
        return testsupport::runProcess(testsupport::driverBinary(QStringLiteral("bonjour_driver")),
                                       { QString::fromUtf8(code), QString::number(limitMs) }, QString(), 30000, env);
    }

    static bool needDaemon()
    {
        return zeroconf::daemonAvailable();
    }

    // The /usr/bin Python that Debian's python3-zeroconf belongs to, or "".
    static QString zeroconfPython()
    {
        const QString python = QStandardPaths::findExecutable(QStringLiteral("python3"), { QStringLiteral("/usr/bin") });
        if (python.isEmpty())
            return QString();
        QProcess probe;
        probe.start(python, { QStringLiteral("-c"), QStringLiteral("import zeroconf") });
        return probe.waitForFinished(20000) && probe.exitCode() == 0 ? python : QString();
    }

    static QString zeroconfPeer() { return testsupport::sourcePath(QStringLiteral("tests/support/peers/zeroconf_peer.py")); }

    // The TXT strings of an avahi-browse resolved line, unquoted.
    static QSet<QString> txtOf(const QString &line)
    {
        QSet<QString> out;
        const QRegularExpression quoted(QStringLiteral("\"([^\"]*)\""));
        for (auto it = quoted.globalMatch(line.section(QLatin1Char(';'), 9)); it.hasNext();)
            out.insert(it.next().captured(1));
        return out;
    }

    // avahi-browse's resolved line once it has one, trying for up to ms of
    // real time (each try blocks until avahi-browse ends).
    static QString avahiBrowseResolvedWithin(const QString &type, const QString &name, int ms)
    {
        QElapsedTimer clock;
        clock.start();
        QString line;
        while (line.isEmpty() && clock.elapsed() < ms) {
            line = avahiBrowseResolved(type, name);
            if (line.isEmpty())
                QTest::qWait(200);
        }
        return line;
    }

    // avahi-browse's resolved line for name, or empty.
    static QString avahiBrowseResolved(const QString &type, const QString &name)
    {
        QProcess p;
        p.start(QStringLiteral("avahi-browse"), { QStringLiteral("-t"), QStringLiteral("-r"), QStringLiteral("-p"), type });
        if (!p.waitForFinished(10000)) {
            p.kill();
            p.waitForFinished();
            return QString();
        }
        for (const QString &line : QString::fromUtf8(p.readAllStandardOutput()).split(QLatin1Char('\n'))) {
            if (line.startsWith(QLatin1String("=;")) && line.section(QLatin1Char(';'), 3, 3) == name)
                return line;
        }
        return QString();
    }

private slots:
    void init()
    {
        debugLines.clear();
        previousHandler = qInstallMessageHandler(recordMessage);
        f = std::make_unique<LuaFixture>();
        luaL_requiref(f->L, "bonjour.core", luaopen_bonjour_core, 0);
        lua_setglobal(f->L, "bonjour");
        lua_settop(f->L, 0);
        QCOMPARE(run(testsupport::recordingHandler()), QString());
        QCOMPARE(run("ticks = 0; quiet.onTimer = true\n"
                     "answer.onTimer = function() ticks = ticks + 1 end"),
                 QString());
    }

    void cleanup()
    {
        // Bonjour objects have no parent and reference handles: take them
        // down with the test.
        QList<QPointer<Bonjour>> alive;
        lua_State *L = f->L;
        lua_getglobal(L, "all");
        if (lua_istable(L, -1)) {
            lua_pushnil(L);
            while (lua_next(L, -2)) {
                alive << luaX_toqobject<Bonjour>(L, -1, "Bonjour");
                lua_pop(L, 1);
            }
        }
        lua_settop(L, 0);
        f.reset();
        for (const QPointer<Bonjour> &b : alive)
            delete b.data();
        qInstallMessageHandler(previousHandler);
        TestAccess::resolveTimeoutMs() = 10000;
    }

    // Module and class

    void moduleExportsMachineIDAndTheBonjourClass()
    {
        QCOMPARE(eval("type(bonjour.machineID)"), QVariant(QByteArray("function")));
        QCOMPARE(eval("rawequal(bonjour.Bonjour, debug.getregistry().Bonjour)"), QVariant(true));
        QCOMPARE(run("b = bonjour.Bonjour.create(); all = { b }"), QString());
        QCOMPARE(eval("getmetatable(b).__classname"), QVariant(QByteArray("Bonjour")));
        // A QObject like any other: destroy is inherited, and no per-object fields.
        QCOMPARE(eval("type(b.destroy)"), QVariant(QByteArray("function")));
        QVERIFY(run("b.x = 1").contains(QLatin1String("index")));
        Bonjour *b = bonjourOf("b");
        QVERIFY(b);
        QCOMPARE(b->parent(), static_cast<QObject *>(nullptr));
        // The module is also what the host preloads under its name.
        orvane::preloadModules(f->L, orvane::builtinModules());
        QCOMPARE(run("package.loaded['bonjour.core'] = nil; m = require 'bonjour.core'"), QString());
        QCOMPARE(eval("type(m.Bonjour.resolve)"), QVariant(QByteArray("function")));
    }

    void metaObjectHasTheNineSlotsInOrder()
    {
        const QMetaObject *mo = &Bonjour::staticMetaObject;
        QCOMPARE(mo->className(), "Bonjour");
        QStringList privateSlots;
        for (int i = mo->methodOffset(); i < mo->methodCount(); ++i) {
            const QMetaMethod m = mo->method(i);
            if (m.methodType() == QMetaMethod::Slot && m.access() == QMetaMethod::Private)
                privateSlots << QString::fromLatin1(m.methodSignature());
        }
        QCOMPARE(privateSlots, QStringList({ "onRegistrationError(int)", "onRegistered()", "onServiceAdded(QString,QString)",
                                      "onServiceRemoved(QString)", "onBrowsingFailed(int)", "onResolved(QByteArray)",
                                      "onResolveError(int)", "onLookup(QHostInfo)", "onTimer()" }));
        const int lookup = mo->indexOfSlot("onLookup(QHostInfo)");
        QCOMPARE(QMetaType::typeName(mo->method(lookup).parameterType(0)), "QHostInfo");
    }

    // The 10 ms tick

    void tickReachesMsgHandlerWithoutArguments()
    {
        QCOMPARE(run("answer.onTimer = function(obj, ...)\n"
                     "  ticks = ticks + 1; tickFrom = obj; tickArgs = select('#', ...)\n"
                     "end\n"
                     "b = bonjour.Bonjour.create(); all = { b }"),
                 QString());
        Bonjour *b = bonjourOf("b");
        const QList<QTimer *> timers = childrenOf<QTimer>(b);
        QCOMPARE(timers.size(), 1);
        QCOMPARE(timers.first()->interval(), 10);
        QVERIFY(timers.first()->isActive());
        QVERIFY(!timers.first()->isSingleShot());
        QTRY_VERIFY_WITH_TIMEOUT(num("ticks") >= 10, 300);
        QCOMPARE(eval("rawequal(tickFrom, b)"), QVariant(true));
        QCOMPARE(num("tickArgs"), 0LL);
    }

    void tickOutlivesTheInterpreterHarmlessly()
    {
        QCOMPARE(run("b = bonjour.Bonjour.create()"), QString());
        QPointer<Bonjour> b = bonjourOf("b");
        StdoutCapture out;
        f->close();
        const QString text = out.text();
        // A reference handle: collection prints a null pointer, deletes nothing.
        QVERIFY2(text.contains(QLatin1String("bonjour::l_gc (nil)")) || text.contains(QLatin1String("bonjour::l_gc 0x0")),
                 qPrintable(text));
        QVERIFY(b);
        QTest::qWait(40); // ticks with no interpreter left must find nothing to call
        delete b.data();
        f = std::make_unique<LuaFixture>();
    }

    void failingTickEndsTheProcess()
    {
        const testsupport::Run bad = runDriver("function MsgHandler(obj, msg)\n"
                                               "  if msg == 'onTimer' then error('no ticks here') end\n"
                                               "end\n"
                                               "b = bonjour.Bonjour.create()",
                                               5000);
        QVERIFY(bad.finished);
        QCOMPARE(bad.status, 1);
        QVERIFY2(bad.outText().contains(QLatin1String("Call failed")), bad.out.constData());
        QVERIFY(bad.outText().contains(QLatin1String("no ticks here")));
        QVERIFY(!bad.outText().contains(QLatin1String("loop ended")));

        // The same without a handler at all.
        const testsupport::Run none = runDriver("b = bonjour.Bonjour.create()", 5000);
        QVERIFY(none.finished);
        QCOMPARE(none.status, 1);

        // A handler that takes the tick keeps the process going.
        const testsupport::Run good = runDriver("n = 0\n"
                                                "function MsgHandler(obj, msg)\n"
                                                "  if msg == 'onTimer' then n = n + 1; if n == 20 then quit() end end\n"
                                                "end\n"
                                                "b = bonjour.Bonjour.create()",
                                                5000);
        QVERIFY(good.finished);
        QCOMPARE(good.status, 0);
        QVERIFY(good.outText().contains(QLatin1String("loop ended 0")));
    }

    // Arguments and handles

    void argumentErrorsCreateNothing()
    {
        QCOMPARE(run("b = bonjour.Bonjour.create(); all = { b }"), QString());
        Bonjour *b = bonjourOf("b");
        const int before = b->children().size();
        QVERIFY(run("b:publish('_orvtest._tcp', 'x')").contains(QLatin1String("number expected")));
        QVERIFY(run("b:publish('_orvtest._tcp', nil, 1)").contains(QLatin1String("string expected")));
        QVERIFY(run("b:subscribe({})").contains(QLatin1String("string expected")));
        QVERIFY(run("b:resolve('_orvtest._tcp', 'x', {})").contains(QLatin1String("string expected")));
        QVERIFY(run("b:resolve('_orvtest._tcp')").contains(QLatin1String("string expected")));
        QCOMPARE(b->children().size(), before);
        QVERIFY(run("bonjour.Bonjour.publish(qt.Timer.create(), 't', 'n', 1)").contains(QLatin1String("Bonjour expected")));
        QVERIFY(run("bonjour.Bonjour.subscribe(nil, 't')").contains(QLatin1String("Bonjour expected, got nil")));
        QCOMPARE(run("b:destroy()"), QString());
        QTRY_VERIFY(!bonjourOf("b"));
        QVERIFY(run("b:subscribe('_orvtest._tcp')").contains(QLatin1String("attempting to access deleted Bonjour")));
    }

    void portKeepsItsLow16Bits()
    {
        QCOMPARE(run(QByteArray("b = bonjour.Bonjour.create(); all = { b }\n"
                                "b:publish('_orvtest._tcp', '")
                     + uniqueName("port").toUtf8() + "', 70000.9)"),
                 QString());
        QVERIFY2(logHas(QStringLiteral(" on port  4464")), qPrintable(debugLines.join(QLatin1Char('\n'))));
        const QList<DiscoverableService *> services = childrenOf<DiscoverableService>(bonjourOf("b"));
        QCOMPARE(services.size(), 1);
        QCOMPARE(services.first()->port(), quint16(4464));
        QCOMPARE(services.first()->serviceType(), QStringLiteral("_orvtest._tcp"));
    }

    // Full service type

    void parseServiceTypeSplitsNameAndSocketType()
    {
        using zeroconf::parseServiceType;
        QCOMPARE(parseServiceType(QStringLiteral("_http._tcp")).name, QStringLiteral("http"));
        QCOMPARE(parseServiceType(QStringLiteral("_http._tcp")).socketType, QAbstractSocket::TcpSocket);
        QCOMPARE(parseServiceType(QStringLiteral("_osc._udp")).name, QStringLiteral("osc"));
        QCOMPARE(parseServiceType(QStringLiteral("_osc._udp")).socketType, QAbstractSocket::UdpSocket);
        QCOMPARE(parseServiceType(QStringLiteral("_x._sctp")).name, QStringLiteral("x"));
        QCOMPARE(parseServiceType(QStringLiteral("_x._sctp")).socketType, QAbstractSocket::UnknownSocketType);
        QCOMPARE(parseServiceType(QStringLiteral("plain")).socketType, QAbstractSocket::UnknownSocketType);
    }

    void foundServicesCarryTheRebuiltFullType()
    {
        QCOMPARE(run("b = bonjour.Bonjour.create(); all = { b }; names[b] = 'b'\n"
                     "b:subscribe('_orvsock._tcp'); b:subscribe('_orvsock._udp'); b:subscribe('_orvsock._sctp')"),
                 QString());
        const QList<ServiceBrowser *> browsers = childrenOf<ServiceBrowser>(bonjourOf("b"));
        QCOMPARE(browsers.size(), 3);
        for (ServiceBrowser *browser : browsers)
            emit browser->serviceAdded(QStringLiteral("svc ") + browser->fullServiceType(), QStringLiteral("local"));
        emit browsers.first()->serviceRemoved(QStringLiteral("gone"), QStringLiteral("local"));
        QCOMPARE(logged({ "onServiceAdded", "onServiceRemoved" }),
                 QStringList({ "b,onServiceAdded,_orvsock._tcp,svc _orvsock._tcp,local",
                               "b,onServiceAdded,_orvsock._udp,svc _orvsock._udp,local",
                               "b,onServiceAdded,_orvsock._udp,svc _orvsock._sctp,local",
                               "b,onServiceRemoved,gone" }));
        QVERIFY(logHas(QStringLiteral("Service added \"_orvsock._udp\" \"svc _orvsock._sctp\" \"local\"")));
        QVERIFY(logHas(QStringLiteral("Service Removed \"gone\"")));
    }

    // machineID

    void machineIDPicksTheFirstRunningNonLoopbackInterface()
    {
        using F = QNetworkInterface;
        const QList<InterfaceSummary> list = {
            { F::IsUp | F::IsRunning | F::IsLoopBack, QStringLiteral("00:00:00:00:00:00") },
            { F::IsUp | F::CanBroadcast, QStringLiteral("AA:AA:AA:AA:AA:AA") }, // up but not running
            { F::IsUp | F::IsRunning | F::CanMulticast, QStringLiteral("BB:BB:BB:BB:BB:BB") },
            { F::IsUp | F::IsRunning, QStringLiteral("CC:CC:CC:CC:CC:CC") },
        };
        QCOMPARE(chooseMachineID(list), QStringLiteral("BB:BB:BB:BB:BB:BB"));
        QCOMPARE(chooseMachineID(list.mid(0, 2)), QString());
        QCOMPARE(chooseMachineID({}), QString());
        QCOMPARE(chooseMachineID(list.mid(3)), QStringLiteral("CC:CC:CC:CC:CC:CC"));

        QCOMPARE(eval("type(bonjour.machineID())"), QVariant(QByteArray("string")));
        QCOMPARE(QString::fromLocal8Bit(eval("bonjour.machineID()").toByteArray()), machineID());
    }

    // Against the real daemon

    void publishedServiceIsSeenByAvahiBrowse()
    {
        if (!needDaemon())
            QSKIP("avahi-daemon is not running (scripts/start-avahi starts it)");
        const QString name = uniqueName("pub");
        QCOMPARE(run("b = bonjour.Bonjour.create(); all = { b }\n"
                     "b:publish('_orvtest._tcp', '"
                     + name.toUtf8() + "', 70000)"),
                 QString());
        QTRY_VERIFY_WITH_TIMEOUT(logHas(QStringLiteral("Registered OK")), 10000);
        QString line;
        for (int attempt = 0; attempt < 5 && line.isEmpty(); ++attempt)
            line = avahiBrowseResolved(QStringLiteral("_orvtest._tcp"), name);
        QVERIFY2(!line.isEmpty(), "avahi-browse did not see the service");
        QCOMPARE(line.section(QLatin1Char(';'), 4, 4), QStringLiteral("_orvtest._tcp"));
        QCOMPARE(line.section(QLatin1Char(';'), 8, 8), QStringLiteral("4464"));

        // A second announcement of the same name is a conflict, not a rename.
        QCOMPARE(run("b:publish('_orvtest._tcp', '" + name.toUtf8() + "', 1)"), QString());
        QTRY_VERIFY_WITH_TIMEOUT(logHas(QStringLiteral("Registration Failed: 3")), 10000);
    }

    void peerServiceIsFoundResolvedLookedUpAndRemoved()
    {
        if (!needDaemon())
            QSKIP("avahi-daemon is not running (scripts/start-avahi starts it)");
        if (QStandardPaths::findExecutable(QStringLiteral("avahi-publish")).isEmpty())
            QSKIP("avahi-publish is not installed (avahi-utils)");
        const QString name = uniqueName("peer");
        QCOMPARE(run("b = bonjour.Bonjour.create(); all = { b }; names[b] = 'b'\n"
                     "b:subscribe('_orvtest._tcp')"),
                 QString());
        QProcess peer;
        QElapsedTimer clock;
        clock.start();
        peer.start(QStringLiteral("avahi-publish"), { QStringLiteral("-s"), name, QStringLiteral("_orvtest._tcp"),
                                                      QStringLiteral("5678") });
        QVERIFY(peer.waitForStarted());
        const QString added = QStringLiteral("b,onServiceAdded,_orvtest._tcp,%1,local").arg(name);
        QTRY_VERIFY_WITH_TIMEOUT(logged({ "onServiceAdded" }).contains(added), 10000);
        printf("avahi-publish to onServiceAdded: %lld ms\n", clock.elapsed());

        QCOMPARE(run("b:resolve('_orvtest._tcp', '" + name.toUtf8() + "')"), QString());
        QVERIFY(logHas(QStringLiteral("Resolve \"_orvtest._tcp\" \"%1\" \"local.\"").arg(name)));
        QTRY_VERIFY_WITH_TIMEOUT(!logged({ "onLookup" }).isEmpty(), 10000);
        const QStringList resolved = logged({ "onResolved" });
        QCOMPARE(resolved.size(), 1);
        const QStringList r = resolved.first().split(QLatin1Char(','));
        QCOMPARE(r.size(), 5);
        QVERIFY2(r[2].startsWith(name + QLatin1String("._orvtest._tcp.local")), qPrintable(r[2]));
        const QString host = r[3];
        QVERIFY2(host.endsWith(QLatin1String(".local")), qPrintable(host));
        QCOMPARE(r[4], QStringLiteral("5678"));
        const QStringList lookup = logged({ "onLookup" });
        QCOMPARE(lookup.size(), 1);
        const QStringList l = lookup.first().split(QLatin1Char(','));
        QCOMPARE(l.size(), 4);
        QCOMPARE(l[2], host);
        const QHostAddress address(l[3]);
        QCOMPARE(address.protocol(), QAbstractSocket::IPv4Protocol);
        QVERIFY2(address.isLoopback(), qPrintable(l[3]));
        QVERIFY(logHas(QStringLiteral("Lookup found IPv4 address \"%1\"").arg(l[3])));
        // The resolving object is gone once it has answered.
        QTRY_VERIFY(childrenOf<DiscoverableService>(bonjourOf("b")).isEmpty());

        peer.terminate();
        QVERIFY(peer.waitForFinished(5000));
        QTRY_VERIFY_WITH_TIMEOUT(logged({ "onServiceRemoved" }).contains(QStringLiteral("b,onServiceRemoved,") + name),
                                 10000);
    }

    void ownPublicationReachesOwnBrowser()
    {
        if (!needDaemon())
            QSKIP("avahi-daemon is not running (scripts/start-avahi starts it)");
        const QString name = uniqueName("self");
        QCOMPARE(run("a = bonjour.Bonjour.create(); b = bonjour.Bonjour.create(); all = { a, b }; names[b] = 'b'\n"
                     "b:subscribe('_orvself._tcp')"),
                 QString());
        QTRY_VERIFY_WITH_TIMEOUT(!childrenOf<ServiceBrowser>(bonjourOf("b")).isEmpty(), 1000);
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(run("a:publish('_orvself._tcp', '" + name.toUtf8() + "', 4242)"), QString());
        const QString added = QStringLiteral("b,onServiceAdded,_orvself._tcp,%1,local").arg(name);
        QTRY_VERIFY_WITH_TIMEOUT(logged({ "onServiceAdded" }).contains(added), 10000);
        printf("publish to onServiceAdded on loopback: %lld ms\n", clock.elapsed());
        QCOMPARE(run("b:resolve('_orvself._tcp', '" + name.toUtf8() + "', 'local')"), QString());
        QTRY_VERIFY_WITH_TIMEOUT(!logged({ "onResolved" }).isEmpty(), 10000);
        QVERIFY(logged({ "onResolved" }).first().endsWith(QLatin1String(",4242")));
        // Withdrawing means deleting the publisher.
        QCOMPARE(run("a:destroy()"), QString());
        QTRY_VERIFY_WITH_TIMEOUT(logged({ "onServiceRemoved" }).contains(QStringLiteral("b,onServiceRemoved,") + name),
                                 10000);
    }

    // TXT records

    void setTxtChecksTheWholeTable()
    {
        QCOMPARE(run("b = bonjour.Bonjour.create(); all = { b }"), QString());
        QCOMPARE(eval("next(b:txt()) == nil"), QVariant(true));
        QCOMPARE(run("b:setTxt({ model = 'OP-7', fw = 12, bare = true, off = false, empty = '' }); b:setTxt({})"),
                 QString());
        const QList<QPair<QByteArray, QString>> refused {
            { "b:setTxt()", "bad argument #1 to 'setTxt' (table expected, got no value)" },
            { "b:setTxt('k=v')", "table expected, got string" },
            { "b:setTxt({ 'positional' })", "TXT keys must be strings" },
            { "b:setTxt({ [''] = 'x' })", "TXT key '' must be 1 to 254 printable ASCII characters without '='" },
            { "b:setTxt({ ['a=b'] = 'x' })", "TXT key 'a=b' must be 1 to 254" },
            { "b:setTxt({ ['caf\\xc3\\xa9'] = 'x' })", "must be 1 to 254 printable ASCII characters" },
            { "b:setTxt({ k = {} })", "TXT value of 'k' must be a string, number or boolean" },
            { "b:setTxt({ k = string.rep('x', 254) })", "TXT entry 'k' is longer than 255 bytes" },
        };
        for (const auto &r : refused) {
            const QString error = run(r.first);
            QVERIFY2(error.contains(r.second), qPrintable(QString::fromLatin1(r.first) + " gave " + error));
        }
        QCOMPARE(run("b:setTxt({ k = string.rep('x', 253) })"), QString()); // exactly 255 bytes
        QVERIFY(run("bonjour.Bonjour.txt(qt.Timer.create())").contains(QLatin1String("Bonjour expected, got userdata")));
    }

    void txtRecordsBothWaysWithAvahi()
    {
        if (!needDaemon())
            QSKIP("avahi-daemon is not running (scripts/start-avahi starts it)");
        if (QStandardPaths::findExecutable(QStringLiteral("avahi-publish")).isEmpty())
            QSKIP("avahi-publish is not installed (avahi-utils)");
        // Ours, as avahi-browse sees it.
        const QString ours = uniqueName("txt");
        QCOMPARE(run("b = bonjour.Bonjour.create(); all = { b }; names[b] = 'b'\n"
                     "b:setTxt({ model = 'OP-7', fw = 12, bare = true, off = false, empty = '', sp = 'a b' })\n"
                     "b:publish('_orvtest._tcp', '" + ours.toUtf8() + "', 4321)"),
                 QString());
        QTRY_VERIFY_WITH_TIMEOUT(logHas(QStringLiteral("Registered OK")), 10000);
        const QString line = avahiBrowseResolvedWithin(QStringLiteral("_orvtest._tcp"), ours, 20000);
        QVERIFY2(!line.isEmpty(), "avahi-browse did not see the service");
        QCOMPARE(txtOf(line), QSet<QString>({ "model=OP-7", "fw=12", "bare", "empty=", "sp=a b" }));

        // Theirs, as the script sees it: in place when onResolved runs.
        const QString theirs = uniqueName("txtpeer");
        QProcess peer;
        peer.start(QStringLiteral("avahi-publish"), { QStringLiteral("-s"), theirs, QStringLiteral("_orvtest._tcp"),
                                                      QStringLiteral("5678"), QStringLiteral("k=v"),
                                                      QStringLiteral("flag"), QStringLiteral("blob=a=b"),
                                                      QStringLiteral("none=") });
        QVERIFY(peer.waitForStarted());
        QCOMPARE(run("answer.onResolved = function(obj)\n"
                     "  local t, keys = obj:txt(), {}\n"
                     "  for k, v in pairs(t) do keys[#keys + 1] = k .. ':' .. tostring(v) end\n"
                     "  table.sort(keys); seenTxt = table.concat(keys, ' ')\n"
                     "end\n"
                     "b:subscribe('_orvtest._tcp')"),
                 QString());
        QTRY_VERIFY_WITH_TIMEOUT(logged({ "onServiceAdded" }).contains(QStringLiteral("b,onServiceAdded,_orvtest._tcp,%1,local").arg(theirs)), 10000);
        QCOMPARE(run("b:resolve('_orvtest._tcp', '" + theirs.toUtf8() + "')"), QString());
        QTRY_VERIFY_WITH_TIMEOUT(eval("seenTxt ~= nil").toBool(), 10000);
        QCOMPARE(eval("seenTxt"), QVariant(QByteArray("blob:a=b flag:true k:v none:")));
        // And afterwards, until the next resolution.
        QCOMPARE(eval("b:txt().flag"), QVariant(true));
        peer.terminate();
        QVERIFY(peer.waitForFinished(5000));
    }

    void nameConflictReachesTheScriptWithTheRefusedName()
    {
        if (!needDaemon())
            QSKIP("avahi-daemon is not running (scripts/start-avahi starts it)");
        if (QStandardPaths::findExecutable(QStringLiteral("avahi-publish")).isEmpty())
            QSKIP("avahi-publish is not installed (avahi-utils)");
        const QString name = uniqueName("taken");
        QProcess holder;
        holder.start(QStringLiteral("avahi-publish"), { QStringLiteral("-s"), name, QStringLiteral("_orvtest._tcp"),
                                                        QStringLiteral("5678") });
        QVERIFY(holder.waitForStarted());
        QVERIFY(!avahiBrowseResolvedWithin(QStringLiteral("_orvtest._tcp"), name, 10000).isEmpty());
        QCOMPARE(run("b = bonjour.Bonjour.create(); all = { b }; names[b] = 'b'\n"
                     "answer.onNameConflict = function(obj, name) obj:publish('_orvtest._tcp', name .. '-2', 4322) end\n"
                     "b:publish('_orvtest._tcp', '" + name.toUtf8() + "', 4321)"),
                 QString());
        QTRY_VERIFY_WITH_TIMEOUT(!logged({ "onNameConflict" }).isEmpty(), 10000);
        QCOMPARE(logged({ "onNameConflict" }), QStringList({ QStringLiteral("b,onNameConflict,%1,_orvtest._tcp").arg(name) }));
        QVERIFY(logHas(QStringLiteral("Registration Failed: 3")));
        // The script's second choice is announced.
        QTRY_VERIFY_WITH_TIMEOUT(logHas(QStringLiteral("Registered OK")), 10000);
        QVERIFY(!avahiBrowseResolvedWithin(QStringLiteral("_orvtest._tcp"), name + QLatin1String("-2"), 10000).isEmpty());
        // Other failures stay in the log only.
        QCOMPARE(run("b:publish('notatype', 'x', 1)"), QString());
        QTRY_VERIFY_WITH_TIMEOUT(logHas(QStringLiteral("Registration Failed: 2")), 5000);
        QCOMPARE(logged({ "onNameConflict" }).size(), 1);
        holder.terminate();
        QVERIFY(holder.waitForFinished(5000));
    }

    // python-zeroconf speaks mDNS itself, without avahi: a second,
    // independent implementation on the loopback.
    void txtRoundTripWithPythonZeroconf()
    {
        if (!needDaemon())
            QSKIP("avahi-daemon is not running (scripts/start-avahi starts it)");
        const QString python = zeroconfPython();
        if (python.isEmpty())
            QSKIP("python3-zeroconf is not installed (scripts/install-deps installs it)");
        QElapsedTimer clock;

        // Theirs to us.
        const QString theirs = uniqueName("py");
        QProcess peer;
        peer.start(python, { zeroconfPeer(), QStringLiteral("publish"), theirs, QStringLiteral("_orvtest._tcp"),
                             QStringLiteral("5681"), QStringLiteral("model=PY-1"), QStringLiteral("flag"),
                             QStringLiteral("v=0.47") });
        QVERIFY(peer.waitForStarted());
        QByteArray said;
        QTRY_VERIFY2_WITH_TIMEOUT((said += peer.readAllStandardOutput()).contains("published\n"),
                                  (said + peer.readAllStandardError()).constData(), 20000);
        clock.start();
        QCOMPARE(run("b = bonjour.Bonjour.create(); all = { b }; names[b] = 'b'\n"
                     "answer.onServiceAdded = function(obj, type, name, domain)\n"
                     "  if name == '" + theirs.toUtf8() + "' then obj:resolve(type, name, domain) end\n"
                     "end\n"
                     "answer.onResolved = function(obj) got = obj:txt() end\n"
                     "b:subscribe('_orvtest._tcp')"),
                 QString());
        QTRY_VERIFY_WITH_TIMEOUT(eval("got ~= nil").toBool(), 20000);
        const qint64 inbound = clock.elapsed();
        QCOMPARE(eval("got.model"), QVariant(QByteArray("PY-1")));
        QCOMPARE(eval("got.flag"), QVariant(true));
        QCOMPARE(eval("got.v"), QVariant(QByteArray("0.47")));
        QCOMPARE(num("select(2, pcall(function() local n = 0; for _ in pairs(got) do n = n + 1 end; return n end))"), 3LL);
        QVERIFY(logged({ "onResolved" }).first().endsWith(QLatin1String(",5681")));
        QTRY_VERIFY_WITH_TIMEOUT(!logged({ "onLookup" }).isEmpty(), 10000);
        QVERIFY(logged({ "onLookup" }).first().endsWith(QLatin1String(",127.0.0.1")));

        // Ours to them.
        const QString ours = uniqueName("forpy");
        QCOMPARE(run("b:setTxt({ model = 'OP-7', fw = 12, bare = true })\n"
                     "b:publish('_orvtest._tcp', '" + ours.toUtf8() + "', 4323)"),
                 QString());
        QTRY_VERIFY_WITH_TIMEOUT(logHas(QStringLiteral("Registered OK")), 10000);
        clock.restart();
        QProcess resolver;
        resolver.start(python, { zeroconfPeer(), QStringLiteral("resolve"), ours, QStringLiteral("_orvtest._tcp") });
        QVERIFY(resolver.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(resolver.state() == QProcess::NotRunning, 40000);
        const qint64 outbound = clock.elapsed();
        const QByteArray answer = resolver.readAllStandardOutput();
        QVERIFY2(resolver.exitCode() == 0, answer.constData());
        const QJsonObject found = QJsonDocument::fromJson(answer).object();
        QCOMPARE(found.value(QLatin1String("port")).toInt(), 4323);
        const QJsonObject txt = found.value(QLatin1String("txt")).toObject();
        QCOMPARE(txt.size(), 3);
        QCOMPARE(txt.value(QLatin1String("model")).toString(), QStringLiteral("OP-7"));
        QCOMPARE(txt.value(QLatin1String("fw")).toString(), QStringLiteral("12"));
        QVERIFY(txt.contains(QLatin1String("bare")) && txt.value(QLatin1String("bare")).isNull());
        printf("python-zeroconf TXT round trip: theirs to our txt() in %lld ms; ours to their resolver in %lld ms "
               "(its own lookup %d ms)\n",
               inbound, outbound, found.value(QLatin1String("ms")).toInt());

        // A name python-zeroconf holds is a conflict for us too.
        QCOMPARE(run("b:publish('_orvtest._tcp', '" + theirs.toUtf8() + "', 4324)"), QString());
        QTRY_VERIFY_WITH_TIMEOUT(!logged({ "onNameConflict" }).isEmpty(), 15000);
        QCOMPARE(logged({ "onNameConflict" }).first(), QStringLiteral("b,onNameConflict,%1,_orvtest._tcp").arg(theirs));

        peer.closeWriteChannel();
        if (!peer.waitForFinished(10000))
            peer.kill();
    }

    void unansweredResolutionEndsInAnError()
    {
        if (!needDaemon())
            QSKIP("avahi-daemon is not running (scripts/start-avahi starts it)");
        TestAccess::resolveTimeoutMs() = 500;
        QCOMPARE(run("b = bonjour.Bonjour.create(); all = { b }\n"
                     "b:resolve('_orvtest._tcp', '" + uniqueName("nobody").toUtf8() + "')"),
                 QString());
        QTRY_VERIFY_WITH_TIMEOUT(logHas(QStringLiteral("onResolveError:")), 5000);
        QVERIFY(logHas(QStringLiteral("onResolveError: 5")) || logHas(QStringLiteral("onResolveError: 4")));
        QTRY_VERIFY(childrenOf<DiscoverableService>(bonjourOf("b")).isEmpty());
        QVERIFY(logged({ "onResolved", "onLookup" }).isEmpty());
    }

    void invalidTypesAreRefusedByTheDaemonWithTheirNumbers()
    {
        if (!needDaemon())
            QSKIP("avahi-daemon is not running (scripts/start-avahi starts it)");
        QCOMPARE(run("b = bonjour.Bonjour.create(); all = { b }\n"
                     "b:publish('notatype', 'x', 1); b:subscribe('bad type'); b:resolve('bad', 'x')"),
                 QString());
        QTRY_VERIFY_WITH_TIMEOUT(logHas(QStringLiteral("Registration Failed: 2")), 5000);
        QTRY_VERIFY_WITH_TIMEOUT(logHas(QStringLiteral("Browsing Failed: 6")), 5000);
        QTRY_VERIFY_WITH_TIMEOUT(logHas(QStringLiteral("onResolveError: 4")), 5000);
        QVERIFY(logged({ "onServiceAdded", "onResolved", "onLookup" }).isEmpty());
    }

    void demoPageFindsResolvesAndTalksToItsOwnEchoServer()
    {
        if (!needDaemon())
            QSKIP("avahi-daemon is not running (scripts/start-avahi starts it)");
        const QByteArray modules = testsupport::sourcePath(QStringLiteral("modules")).toUtf8();
        const testsupport::Run r = runDriver(
            "package.path = '" + modules + "/?.lua;' .. package.path\n"
            "local M = require 'demo.discovery'\n"
            "local started\n"
            "function MsgHandler(h, name, ...)\n"
            "  local answer = M.message(h, name, ...)\n"
            "  if name == 'onTimer' and answer ~= nil then print('onTimer answered'); quit() end\n"
            "  if name == 'onServiceAdded' and not started then\n"
            "    for i, s in ipairs(M.found) do\n"
            "      if s.name == M.state.ownName then started = true; M.choose(i); M.connect() end\n"
            "    end\n"
            "  end\n"
            "  if name == 'onReadyRead' and M.state.log:text():find('Echo: hello 1', 1, true) then\n"
            "    print(M.state.log:text()); print(M.state.list:text())\n"
            "    M.stop(); page:destroy(); quit()\n"
            "  end\n"
            "  return answer\n"
            "end\n"
            "page = qt.QWidget.create(); page:setGeometry(0, 0, 600, 420)\n"
            "M.build(page)\n",
            20000);
        QVERIFY(r.finished);
        QCOMPARE(r.status, 0);
        const QString out = r.outText();
        QVERIFY2(out.contains(QLatin1String("Echo: hello 1")), qPrintable(out));
        QVERIFY(out.contains(QLatin1String("[this demo]")));
        QVERIFY2(out.contains(QLatin1String("TXT: app=orvane demo, framing=lines, ")), qPrintable(out));
        QVERIFY(out.contains(QLatin1String("Connecting to 127.0.0.1:")));
        QVERIFY(!out.contains(QLatin1String("onTimer answered")));
    }

    // Without a daemon

    void withoutADaemonEverythingFailsInTheLogAndNothingHangs()
    {
        // A system bus that is not there: the same as no avahi at all, and it
        // leaves the real daemon alone for the other tests.
        QProcessEnvironment env = testsupport::childEnvironment();
        env.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), QStringLiteral("unix:path=/nonexistent/orvane-no-bus"));
        QElapsedTimer clock;
        clock.start();
        const testsupport::Run r = runDriver("n = 0; heard = {}\n"
                                             "function MsgHandler(obj, msg, ...)\n"
                                             "  if msg == 'onTimer' then n = n + 1; if n == 50 then\n"
                                             "    print('heard ' .. #heard); quit() end\n"
                                             "  else heard[#heard + 1] = msg end\n"
                                             "end\n"
                                             "b = bonjour.Bonjour.create()\n"
                                             "b:publish('_orvtest._tcp', 'nobody', 1234)\n"
                                             "b:subscribe('_orvtest._tcp')\n"
                                             "b:resolve('_orvtest._tcp', 'nobody')\n",
                                             10000, env);
        QVERIFY(r.finished);
        QCOMPARE(r.status, 0);
        QVERIFY(clock.elapsed() < 8000);
        const QString all = r.outText() + QString::fromLocal8Bit(r.err);
        QVERIFY2(all.contains(QLatin1String("Registration Failed: 1")), qPrintable(all));
        QVERIFY(all.contains(QLatin1String("Browsing Failed: 1")));
        QVERIFY(all.contains(QLatin1String("onResolveError: 1")));
        QVERIFY(all.contains(QLatin1String("heard 0")));
    }
};

QTEST_MAIN(BonjourTest)
#include "bonjour.moc"
