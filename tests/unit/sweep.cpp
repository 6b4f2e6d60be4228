// Wrong-argument sweep: every function of every script class and module,
// found by walking the registered tables at run time, is called at every
// argument position with hostile values. Each call must return or raise a
// Lua error; the host must stay healthy afterwards.
#include "luafixture.h"
#include "internals.h"
#include "luax.h"
#include "mainwindow.h"
#include "tracker.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QPointer>
#include <QTest>
#include <QWidget>

#include <cstdio>

int luaopen_bonjour_core(lua_State *L);
int luaopen_serial_core(lua_State *L);

using testsupport::LuaFixture;

namespace {

// Deletes a handle's Qt object from native code, as the host's own C++ would.
int nativeDelete(lua_State *L)
{
    delete luaX_toqobject<QObject>(L, 1, "QObject");
    return 0;
}

// Deferred deletes (destroy) and whatever events the calls queued.
int settle(lua_State *)
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return 0;
}

int newQObject(lua_State *L)
{
    luaX_pushobject(L, new QObject, "QObject");
    return 1;
}

int newQWidget(lua_State *L)
{
    luaX_pushobject(L, static_cast<QObject *>(new QWidget), "QWidget");
    return 1;
}

int trackerHandle(lua_State *L)
{
    lua_getfield(L, LUA_REGISTRYINDEX, "Tracker.Instance");
    return 1;
}

QByteArray driver()
{
    // The driver is Lua, kept beside this file.
    QFile file(QStringLiteral(ORVANE_SOURCE_DIR "/tests/unit/sweep.lua"));
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray("error('cannot read sweep.lua')");
    return file.readAll();
}

} // namespace

class SweepTest : public QObject {
    Q_OBJECT

    LuaFixture *lua = nullptr;
    QPointer<MainWindow> window;

private slots:
    void initTestCase()
    {
        window = MainWindow::instance();
        lua = new LuaFixture;
        lua_State *L = lua->L;
        // The class comes from the host's own table, registered the way the
        // host does it, so methods added later are swept too.
        lua_getglobal(L, "qt");
        luaX_createclass(L, "MainWindow", lmainwindow_methods, "QWidget", 0, 1);
        lua_getfield(L, -1, "MainWindow");
        lua_setglobal(L, "mainWindowClass");
        lua_pop(L, 1);
        luaX_pushobject(L, static_cast<QObject *>(window), "MainWindow");
        lua_setglobal(L, "mainWindow");
        luaL_requiref(L, "bonjour.core", luaopen_bonjour_core, 0);
        lua_setglobal(L, "bonjour");
        luaL_requiref(L, "serial.core", luaopen_serial_core, 0);
        lua_setglobal(L, "serial");
        lua_register(L, "nativeDelete", nativeDelete);
        lua_register(L, "settle", settle);
        lua_register(L, "newQObject", newQObject);
        lua_register(L, "newQWidget", newQWidget);
        lua_register(L, "trackerHandle", trackerHandle);
#if defined(__SANITIZE_ADDRESS__)
        // Several times slower under the sanitizers: fewer positions.
        lua_pushboolean(L, 1);
        lua_setglobal(L, "sanitized");
#endif
        // Every handler answers "not handled", so dispatches stay harmless.
        QCOMPARE(lua->run("function MsgHandler() return 0 end"), QString());
    }
    void cleanupTestCase()
    {
        delete lua;
        delete window;
    }

    // Regression: lcdCanvas:size() after the widget it last painted on was
    // deleted read the dead widget (an ended QPainter keeps its device).
    void sharedPainterSizeAfterItsWidgetIsGone()
    {
        QCOMPARE(lua->run("painted = qt.Widget.create() painted:setGeometry(0, 0, 40, 30)"), QString());
        QPointer<QWidget> widget = (lua_getglobal(lua->L, "painted"), luaX_toqobject<QWidget>(lua->L, -1, "QWidget"));
        lua_pop(lua->L, 1);
        QVERIFY(widget);
        QCOMPARE(
            lua->run(
                "function MsgHandler(o, m) if m == 'onPaint' then sizeInPaint = {lcdCanvas:size()} end return 0 end"),
            QString());
        widget->grab();
        QCOMPARE(lua->eval("sizeInPaint[1]"), QVariant(qlonglong(40)));
        delete widget.data();
        QCOMPARE(lua->eval("select('#', lcdCanvas:size())"), QVariant(qlonglong(2)));
        QCOMPARE(lua->eval("lcdCanvas:size()"), QVariant(qlonglong(0)));
        QCOMPARE(lua->run("function MsgHandler() return 0 end"), QString());
    }

    // Regression: the per-object field handlers, reachable through the class
    // tables, read a user value from non-userdata, and __newindex replaced a
    // painter's image reference (letting the pixmap be freed while painted on).
    void fieldHandlersTakeOnlyHandles()
    {
        QVERIFY(lua->run("qt.Timer.__index(nil, 'x')").contains(QStringLiteral("userdata expected, got nil")));
        QVERIFY(lua->run("qt.TcpSocket.__newindex(1, 2, 3)").contains(QStringLiteral("userdata expected, got number")));
        QVERIFY(lua->run("qt.TcpServer.__index({}, 'x')").contains(QStringLiteral("userdata expected, got table")));
        QCOMPARE(lua->run("p = qt.QPainter.create(qt.Image.create(8, 8))"), QString());
        QVERIFY(
            lua->run("qt.Timer.__newindex(p, 'x', 1)").contains(QStringLiteral("attempt to index a userdata value")));
        QCOMPARE(lua->run("collectgarbage() collectgarbage() p:fill(0, 0, 8, 8, 'red')"), QString());
        QCOMPARE(lua->eval("type(debug.getuservalue(p))"), QVariant(QByteArray("userdata")));
        QCOMPARE(lua->run("t = qt.Timer.create() qt.Timer.__newindex(t, 'v', 5) t.w = 6"), QString());
        QCOMPARE(lua->eval("t.v + t.w"), QVariant(qlonglong(11)));
        QCOMPARE(lua->run("t:destroy() p = nil"), QString());
        settle(lua->L);
    }

    // Regression: __gc is reachable through the class tables. Called by hand
    // on an owned value it freed the object but left the handle naming it,
    // so the next method call (and the collector's own __gc) used freed
    // memory.
    void finalizersCalledByHandLeaveDeadHandles()
    {
        const char *const cases[][2] = {
            { "qt.Image.create(4, 4)", "size" },
            { "qt.QFont.create()", "copy" },
            { "qt.QPainter.create(qt.Image.create(4, 4))", "size" },
            { "qt.ElapsedTimer.create()", "elapsed" },
        };
        for (const auto &c : cases) {
            QCOMPARE(lua->run(QByteArray("v = ") + c[0] + " getmetatable(v).__gc(v)"), QString());
            QVERIFY2(lua->run(QByteArray("v:") + c[1] + "()").contains(QStringLiteral("attempting to access deleted")),
                c[0]);
            QCOMPARE(lua->run("getmetatable(v).__gc(v) v = nil collectgarbage() collectgarbage()"), QString());
        }
        // An image still painted on is left to its painter's collection.
        QCOMPARE(lua->run("img = qt.Image.create(4, 4) p = qt.QPainter.create(img) qt.Image.__gc(img)"), QString());
        QCOMPARE(lua->run("p:fill(0, 0, 4, 4, 'red') img = nil p = nil collectgarbage() collectgarbage()"), QString());
    }

    void everyFunctionTakesEveryValue()
    {
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(lua->run(driver()), QString());
        const qlonglong calls = lua->eval("sweepCalls").toLongLong();
        const qlonglong raised = lua->eval("sweepRaised").toLongLong();
        const qlonglong functions = lua->eval("sweepFunctions").toLongLong();
        const qlonglong classes = lua->eval("sweepClasses").toLongLong();
        printf("sweep: %lld classes, %lld functions, %lld calls (%lld raised an error) in %lld ms\n", classes,
            functions, calls, raised, qlonglong(clock.elapsed()));
        fflush(stdout);
        QVERIFY2(classes >= 20, "every class of qt.core, bonjour.core, serial.core and MainWindow");
        QVERIFY(functions > 200);
        QVERIFY(calls > 10000);
        QVERIFY(raised > 0 && raised < calls);
    }

    void hostIsHealthyAfterwards()
    {
        QCOMPARE(lua->run("collectgarbage() collectgarbage()"), QString());
        settle(lua->L);
        QCOMPARE(lua->run("w = qt.Widget.create() w:setGeometry(3, 4, 50, 60)"), QString());
        QCOMPARE(lua->eval("select(3, w:geometry())"), QVariant(qlonglong(50)));
        QCOMPARE(lua->run("f = qt.QFont.create() f:setFont(12, 'bold') i = qt.Image.create(8, 9)"), QString());
        QCOMPARE(lua->eval("select(2, i:size())"), QVariant(qlonglong(9)));
        QVERIFY(lua->eval("select(2, pcall(w.show, dead))")
                    .toString()
                    .contains(QStringLiteral("attempting to access deleted QWidget")));
        QCOMPARE(lua->run("w:destroy()"), QString());
        settle(lua->L);
        QVERIFY(lua->eval("select(2, pcall(w.show, w))")
                    .toString()
                    .contains(QStringLiteral("attempting to access deleted")));
        // Everything the sweep made was destroyed: at most the main window
        // is still watched (a destroy() in the sweep usually took it too).
        const int tracked = TestAccess::trackedCount(ObjectTracker::instance(lua->L));
        printf("after the sweep: %d objects tracked\n", tracked);
        QVERIFY(tracked <= 1);
    }

    // Regression: a destroyed main window left MainWindow::instance()
    // returning freed memory, and every MainWindow method used it.
    void mainWindowMethodsAfterTheWindowIsGone()
    {
        lua->run("pcall(mainWindow.destroy, mainWindow)");
        settle(lua->L);
        QVERIFY(!window);
        QVERIFY(!MainWindow::existing());
        QCOMPARE(lua->run("w = qt.Widget.create()"), QString());
        for (const char *call :
            { "mainWindow:setText('x')", "mainWindow:isAnimating(w)", "mainWindow:setCentralWidget(w)",
                "mainWindow:animate(w, 0,0,1,1, 0,0,1,1)", "qt.MainWindow.setText(nil, 'x')" })
            QVERIFY2(lua->run(call).contains(QStringLiteral("attempting to access deleted MainWindow")), call);
        QVERIFY(!MainWindow::existing());
        QCOMPARE(lua->run("w:destroy()"), QString());
    }
};

QTEST_MAIN(SweepTest)
#include "sweep.moc"
