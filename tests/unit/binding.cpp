// The class system, object lifetime, calls into scripts and the handler
// dispatch: the places where a sloppy binding loses identity, touches freed
// objects or corrupts the interpreter stack.
#include "luafixture.h"
#include "internals.h"
#include "luax.h"
#include "testsupport.h"
#include "tracker.h"

#include <QLabel>
#include <QRegularExpression>
#include <QTimer>
#include <QWidget>
#include <QtTest>

#include <cmath>
#include <cstdio>
#include <memory>

using testsupport::LuaFixture;
using testsupport::StdoutCapture;

namespace {

int initCalls = 0;

int base_init(lua_State *L)
{
    if (luaX_testudata(L, 1, "Base"))
        ++initCalls;
    return 0;
}
int base_name(lua_State *L)
{
    lua_pushliteral(L, "Base");
    return 1;
}
int derived_name(lua_State *L)
{
    lua_pushliteral(L, "Derived");
    return 1;
}
int base_check(lua_State *L)
{
    lua_pushlightuserdata(L, luaX_checkobject(L, 1, "Base"));
    return 1;
}
int fielded_start(lua_State *L)
{
    luaX_checkobject(L, 1, "Fielded");
    lua_pushliteral(L, "started");
    return 1;
}
int fielded_ping(lua_State *L)
{
    const QString name = luaX_checkqobject<QObject>(L, 1, "Fielded")->objectName();
    lua_pushstring(L, name.toUtf8().constData());
    return 1;
}
int own_newindex(lua_State *) { return 0; }
int own_index(lua_State *) { return 0; }

const luaL_Reg baseMethods[] = {{"__init", base_init}, {"name", base_name}, {"check", base_check}, {nullptr, nullptr}};
const luaL_Reg derivedMethods[] = {{"name", derived_name}, {nullptr, nullptr}};
const luaL_Reg fieldedMethods[] = {{"start", fielded_start}, {"ping", fielded_ping}, {nullptr, nullptr}};

QString addressOf(const void *p)
{
    char buf[64];
    snprintf(buf, sizeof buf, "%p", p);
    return QString::fromLatin1(buf);
}

} // namespace

class BindingTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<LuaFixture> fx;
    lua_State *L = nullptr;

    // Leaves the global `name` as obj's handle under className.
    void setGlobalObject(const char *name, void *obj, const char *className, int flags = HANDLE_REFERENCE)
    {
        luaX_newobject(L, obj, className, flags);
        lua_setglobal(L, name);
    }
    LuaHandle *globalHandle(const char *name, const char *className)
    {
        lua_getglobal(L, name);
        LuaHandle *h = luaX_testudata(L, -1, className);
        lua_pop(L, 1);
        return h;
    }
    bool rawEqualGlobals(const char *a, const char *b)
    {
        lua_getglobal(L, a);
        lua_getglobal(L, b);
        const bool eq = lua_rawequal(L, -1, -2);
        lua_pop(L, 2);
        return eq;
    }
    // The value on top of the stack as a string, popped.
    QByteArray popString()
    {
        const QByteArray s = lua_tostring(L, -1);
        lua_pop(L, 1);
        return s;
    }

private slots:
    void init()
    {
        {
            StdoutCapture quiet;
            fx = std::make_unique<LuaFixture>();
            L = fx->L;
            lua_newtable(L); /* T */
            luaX_createclass(L, "Base", baseMethods, nullptr, 0, 1);
            luaX_createclass(L, "Derived", derivedMethods, "Base", 0, 1);
            luaX_createclass(L, "Leaf", nullptr, "Derived", 0, 1);
            luaX_createclass(L, "Other", nullptr, nullptr, 0, 1);
            luaX_createclass(L, "Fielded", fieldedMethods, "QObject", 1, 1);
            lua_setglobal(L, "T");
        }
        initCalls = 0;
        QCOMPARE(lua_gettop(L), 0);
    }
    void cleanup()
    {
        StdoutCapture quiet;
        fx.reset();
        L = nullptr;
    }

    // ---- class registration ----

    void createClassPrintsNameAndBase()
    {
        StdoutCapture out;
        luaX_createclass(L, "Solo", nullptr, nullptr, 0, 0);
        luaX_createclass(L, "Child", nullptr, "Solo", 0, 0);
        const QString text = out.text();
        QCOMPARE(text, QStringLiteral("luaX_createclass Solo:-\nluaX_createclass Child:Solo\n"));
        QCOMPARE(lua_gettop(L), 0);
    }

    void fieldsSwitchReportsHandlersThatAlreadyExist()
    {
        const luaL_Reg ownNewindex[] = {{"__newindex", own_newindex}, {nullptr, nullptr}};
        const luaL_Reg ownIndex[] = {{"__index", own_index}, {nullptr, nullptr}};
        StdoutCapture out;
        luaX_createclass(L, "OwnNewindex", ownNewindex, nullptr, 1, 0);
        luaX_createclass(L, "OwnIndex", ownIndex, nullptr, 1, 0);
        // Fielded's luaX_index / luaX_newindex are inherited functions, so both are kept.
        luaX_createclass(L, "SubFielded", nullptr, "Fielded", 1, 0);
        const QStringList lines = out.text().split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines,
                 QStringList({"luaX_createclass OwnNewindex:-",
                              "luaX_newindex not installed in class: __newindex already exists",
                              "luaX_createclass OwnIndex:-",
                              "luaX_index not installed in class; __index already exists",
                              "luaX_createclass SubFielded:Fielded",
                              "luaX_newindex not installed in class: __newindex already exists",
                              "luaX_index not installed in class; __index already exists"}));
        luaL_getmetatable(L, "OwnIndex");
        lua_getfield(L, -1, "__index");
        QVERIFY(lua_tocfunction(L, -1) == &own_index);
        lua_settop(L, 0);
        luaL_getmetatable(L, "SubFielded");
        lua_getfield(L, -1, "__index");
        QVERIFY(lua_tocfunction(L, -1) == &luaX_index);
        lua_settop(L, 0);
    }

    void exportedClassLandsInTableBelowAndStackIsKept()
    {
        lua_pushliteral(L, "sentinel");
        lua_newtable(L);
        {
            StdoutCapture quiet;
            luaX_createclass(L, "Exported", nullptr, nullptr, 0, 1);
            luaX_createclass(L, "Hidden", nullptr, nullptr, 0, 0);
        }
        QCOMPARE(lua_gettop(L), 2);
        lua_getfield(L, 2, "Exported");
        luaL_getmetatable(L, "Exported");
        QVERIFY(lua_rawequal(L, -1, -2));
        lua_getfield(L, 2, "Hidden");
        QVERIFY(lua_isnil(L, -1));
        QCOMPARE(QByteArray(lua_tostring(L, 1)), QByteArray("sentinel"));
        lua_settop(L, 0);
    }

    void derivedOwnMethodWinsOverBase()
    {
        int a, b, c;
        setGlobalObject("b", &a, "Base");
        setGlobalObject("d", &b, "Derived");
        setGlobalObject("l", &c, "Leaf");
        QCOMPARE(fx->eval("b:name() .. d:name() .. l:name()").toByteArray(), QByteArray("BaseDerivedDerived"));
    }

    void lookupsContinueThroughBaseChain()
    {
        int a;
        setGlobalObject("l", &a, "Leaf");
        // Added after Leaf was registered: reachable only through the metatable chain.
        QCOMPARE(fx->run("T.Base.late = function(self) return 'late' end"), QString());
        QCOMPARE(fx->eval("l:late()").toByteArray(), QByteArray("late"));
        QCOMPARE(fx->eval("getmetatable(l).__classname").toByteArray(), QByteArray("Leaf"));
        QCOMPARE(fx->eval("T.Leaf.__classname").toByteArray(), QByteArray("Leaf"));
        QCOMPARE(fx->eval("rawget(T.Leaf, 'check') ~= nil").toBool(), true); // copied at registration
    }

    void classWithoutFieldsRejectsAssignment()
    {
        int a;
        setGlobalObject("b", &a, "Base");
        QCOMPARE(fx->run("b.x = 1"), QStringLiteral("test:1: attempt to index a Base value (global 'b')"));
    }

    // ---- handles: identity, ownership flags, class checks ----

    void sameObjectYieldsSameHandleWhateverClassName()
    {
        QObject obj;
        luaX_pushobject(L, &obj, "QObject");
        luaX_pushobject(L, &obj, "Fielded");
        luaX_pushobject(L, &obj, nullptr);
        luaX_pushqobject(L, &obj);
        QVERIFY(lua_rawequal(L, 1, 2));
        QVERIFY(lua_rawequal(L, 1, 3));
        QVERIFY(lua_rawequal(L, 1, 4));
        QCOMPARE(luaX_testudata(L, 1, "QObject")->object, static_cast<void *>(&obj));
        lua_settop(L, 0);
    }

    void untrackedPushesMakeFreshHandles()
    {
        int owned, ownedTracked;
        luaX_newobject(L, &owned, "Base", HANDLE_OWNED);
        luaX_newobject(L, &owned, "Base", HANDLE_OWNED);
        QVERIFY(!lua_rawequal(L, 1, 2));
        QCOMPARE(luaX_testudata(L, 1, "Base")->flags, HANDLE_OWNED | HANDLE_UNTRACKED);
        QCOMPARE(lua_rawgetp(L, LUA_REGISTRYINDEX, &owned), LUA_TNIL);
        lua_settop(L, 0);

        luaX_newobject(L, &ownedTracked, "Base", HANDLE_OWNED | HANDLE_TRACKED);
        luaX_newobject(L, &ownedTracked, "Base", HANDLE_OWNED | HANDLE_TRACKED);
        QVERIFY(lua_rawequal(L, 1, 2));
        QCOMPARE(luaX_testudata(L, 1, "Base")->flags, HANDLE_OWNED | HANDLE_TRACKED);
        lua_settop(L, 0);
        QCOMPARE(initCalls, 3); // __init runs for every new handle, never for a found one
    }

    void testudataFollowsInheritanceOnly()
    {
        int a, b, c, d;
        setGlobalObject("base", &a, "Base");
        setGlobalObject("derived", &b, "Derived");
        setGlobalObject("leaf", &c, "Leaf");
        setGlobalObject("other", &d, "Other");
        QVERIFY(globalHandle("leaf", "Base"));
        QVERIFY(globalHandle("leaf", "Derived"));
        QVERIFY(globalHandle("leaf", "Leaf"));
        QCOMPARE(globalHandle("leaf", "Base")->object, static_cast<void *>(&c));
        QVERIFY(globalHandle("derived", "Base"));
        QVERIFY(!globalHandle("derived", "Leaf"));
        QVERIFY(!globalHandle("base", "Derived"));
        QVERIFY(!globalHandle("other", "Base"));
        QVERIFY(!globalHandle("leaf", "Other"));
        QVERIFY(!globalHandle("leaf", "NoSuchClass"));
        // Lookalikes: a table wearing the class metatable, light userdata, a file.
        QCOMPARE(fx->run("fake = setmetatable({}, getmetatable(leaf))"), QString());
        QVERIFY(!globalHandle("fake", "Leaf"));
        lua_pushlightuserdata(L, &c);
        QVERIFY(!luaX_testudata(L, -1, "Leaf"));
        lua_pop(L, 1);
        QCOMPARE(fx->run("f = io.stdout"), QString());
        QVERIFY(!globalHandle("f", "Base"));
        QCOMPARE(lua_gettop(L), 0);
    }

    void classRegisteredAgainIsCheckedAgainstItsNewBase()
    {
        int a;
        StdoutCapture quiet;
        luaX_createclass(L, "Movable", nullptr, "Base", 0, 0);
        setGlobalObject("movable", &a, "Movable");
        for (int i = 0; i < 3; ++i) // proven, then answered from what was proven
            QVERIFY(globalHandle("movable", "Base"));
        luaX_createclass(L, "Movable", nullptr, "Other", 0, 0);
        QVERIFY(!globalHandle("movable", "Base"));
        QVERIFY(globalHandle("movable", "Other"));
    }

    void toownedHonoursTheMask()
    {
        int owned, ref, unknown;
        luaX_newobject(L, &owned, "Base", HANDLE_OWNED);
        luaX_newobject(L, &ref, "Leaf", HANDLE_REFERENCE);
        luaX_newobject(L, &unknown, "Base", 0);
        QCOMPARE(luaX_toowned(L, 1, "Base", HANDLE_OWNED), static_cast<void *>(&owned));
        QCOMPARE(luaX_toowned(L, 2, "Base", HANDLE_OWNED), nullptr);
        QCOMPARE(luaX_toowned(L, 2, "Base", 0), static_cast<void *>(&ref));
        QCOMPARE(luaX_toowned(L, 3, "Base", HANDLE_OWNED), static_cast<void *>(&unknown));
        QCOMPARE(luaX_toowned(L, 1, "Other", 0), nullptr);
        lua_settop(L, 0);
    }

    void checkErrorsNameClassAndActualType()
    {
        ObjectTracker::instance(L); // makes lcdCanvas
        auto *widget = new QWidget;
        luaX_pushqobject(L, widget);
        lua_setglobal(L, "w");
        int d;
        setGlobalObject("other", &d, "Other");
        QCOMPARE(fx->run("qt.chooseFile(lcdCanvas)"),
                 QStringLiteral("test:1: bad argument #1 to 'chooseFile' (QWidget expected, got userdata)"));
        QCOMPARE(fx->run("qt.chooseFile(nil)"),
                 QStringLiteral("test:1: bad argument #1 to 'chooseFile' (QWidget expected, got nil)"));
        QCOMPARE(fx->run("T.Base.check(other)"),
                 QStringLiteral("test:1: bad argument #1 to 'check' (Base expected, got userdata)"));
        QCOMPARE(fx->run("T.Base.check(42)"), QStringLiteral("test:1: bad argument #1 to 'check' (Base expected, got number)"));
        delete widget;
        QCOMPARE(fx->run("qt.chooseFile(w)"),
                 QStringLiteral("test:1: bad argument #1 to 'chooseFile' (attempting to access deleted QWidget)"));
        // The class named is the one the method checks, not the handle's own.
        QCOMPARE(fx->run("w:setName('x')"),
                 QStringLiteral("test:1: calling 'setName' on bad self (attempting to access deleted QObject)"));
    }

    // ---- per-object fields ----

    void perObjectFieldHidesMethodForOneHandleOnly()
    {
        QObject a, b;
        setGlobalObject("a", &a, "Fielded");
        setGlobalObject("b", &b, "Fielded");
        QCOMPARE(fx->run("a.x = 5"), QString());
        QCOMPARE(fx->eval("a.x").toInt(), 5);
        QCOMPARE(fx->eval("b.x == nil").toBool(), true);
        QCOMPARE(fx->run("a.start = 1"), QString());
        QCOMPARE(fx->eval("a.start").toInt(), 1);
        QCOMPARE(fx->eval("b:start()").toByteArray(), QByteArray("started"));
        QCOMPARE(fx->run("a.start = false"), QString());
        QCOMPARE(fx->eval("a.start").toBool(), false); // a stored false is found, not skipped
        QCOMPARE(fx->eval("type(a.start)").toByteArray(), QByteArray("boolean"));
        QCOMPARE(fx->run("a.start = nil"), QString());
        QCOMPARE(fx->eval("a:start()").toByteArray(), QByteArray("started"));
        // Base-class methods still reach through the chain from luaX_index.
        QCOMPARE(fx->run("a:setName('alpha')"), QString());
        QCOMPARE(fx->eval("a:ping()").toByteArray(), QByteArray("alpha"));
    }

    // ---- relabelled handles ----

    // Regression: a QFont handle given a widget's metatable was cast to a
    // widget (UBSan: downcast of an object that is not a QWidget, then a
    // segmentation fault). The check compares the class a handle was made
    // with, so every relabelled value is refused by its class name.
    void relabelledHandleIsRefused()
    {
        QCOMPARE(fx->run("font = qt.QFont.create() w = qt.Widget.create() timer = qt.Timer.create()\n"
                         "debug.setmetatable(font, getmetatable(w))"),
                 QString());
        QCOMPARE(fx->run("font:show()"),
                 QStringLiteral("test:1: calling 'show' on bad self (QWidget expected, got userdata)"));
        QCOMPARE(fx->run("w:setFont(font)"),
                 QStringLiteral("test:1: bad argument #1 to 'setFont' (QFont expected, got userdata)"));
        // Into a class with per-object fields, and an io file given a class.
        QCOMPARE(fx->run("debug.setmetatable(w, getmetatable(timer)) w:start()"),
                 QStringLiteral("test:1: calling 'start' on bad self (Timer expected, got userdata)"));
        QCOMPARE(fx->run("debug.setmetatable(io.stdout, getmetatable(timer)) io.stdout:stop()"),
                 QStringLiteral("test:1: calling 'stop' on bad self (Timer expected, got userdata)"));
        QCOMPARE(fx->run("f = qt.QFont.create() debug.setmetatable(f, getmetatable(timer)) qt.Timer.__gc(f)"), QString());
        // Given back its own class, a handle works again.
        QCOMPARE(fx->run("debug.setmetatable(font, getmetatable(qt.QFont.create())) font:setFont(12)"), QString());
        QCOMPARE(fx->run("debug.setmetatable(w, getmetatable(qt.Widget.create())) w:setGeometry(1, 2, 3, 4)"),
                 QString());
        QCOMPARE(fx->run("debug.setmetatable(io.stdout, getmetatable(io.stderr))"), QString());
        // Collected under another class's finalizer, a handle could not free
        // its object: given back its own, it is freed.
        QCOMPARE(fx->run("debug.setmetatable(f, getmetatable(font)) f:setFont(12)"), QString());
    }

    // Regression: the Tracker's finalizer called by hand freed the tracker
    // while its handle and object-map entry lived on; the next object could
    // get the Tracker handle, and every dispatch used the freed tracker.
    void trackerFinalizerByHandLeavesAWorkingHost()
    {
        QCOMPARE(fx->run("w = qt.Widget.create()\n"
                         "old = debug.getregistry()['Tracker.Instance']\n"
                         "getmetatable(old).__gc(old)\n"
                         "getmetatable(old).__gc(old)\n"
                         "seen = {}\n"
                         "function MsgHandler(h, m, ...) seen[#seen + 1] = m return 0 end"),
                 QString());
        // The script's handle is dead, as with any finalizer called by hand.
        QVERIFY(fx->eval("rawequal(old, debug.getregistry()['Tracker.Instance'])").toBool() == false);
        ObjectTracker *tracker = ObjectTracker::instance(L);
        // New objects get their own class and are tracked; old ones still are.
        QCOMPARE(fx->run("for i = 1, 50 do local v = qt.Widget.create() assert(getmetatable(v).__classname == 'Widget')"
                         " v:setGeometry(0, 0, i, i) v:destroy() end\n"
                         "n = qt.Widget.create()"),
                 QString());
        for (const char *name : {"w", "n"}) {
            lua_getglobal(L, name);
            auto *widget = luaX_toqobject<QWidget>(L, -1, "QWidget");
            lua_pop(L, 1);
            QVERIFY(widget);
            QCOMPARE(ObjectTracker::forObject(widget), tracker);
            QCOMPARE(tracker->dispatch(widget, "onResize", "%d %d", 1, 1), 0);
            StdoutCapture quiet;
            delete widget;
        }
        QCOMPARE(fx->eval("#seen").toInt(), 2);
        QVERIFY(fx->run("w:show()").contains("attempting to access deleted QWidget"));
        QVERIFY(fx->run("n:show()").contains("attempting to access deleted QWidget"));
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCOMPARE(TestAccess::trackedCount(tracker), 0);
        QCOMPARE(fx->run("lcdCanvas:size()"), QString());
    }

    // ---- lifetime ----

    void nativeDeletionClearsHandleAndCallsDeletedOnce()
    {
        auto *obj = new QObject;
        obj->setObjectName("doomed");
        const void *address = obj;
        setGlobalObject("h", obj, "Fielded");
        QCOMPARE(fx->run("calls = 0\n"
                         "h.__deleted = function(self)\n"
                         "  calls = calls + 1; same = rawequal(self, h)\n"
                         "  ok, err = pcall(self.ping, self)\n"
                         "end"),
                 QString());
        StdoutCapture out;
        delete obj;
        const QString printed = out.text();
        QCOMPARE(printed, QStringLiteral("ObjectTracker::deleted %1\n").arg(addressOf(address)));
        QCOMPARE(fx->eval("calls").toInt(), 1);
        QCOMPARE(fx->eval("same").toBool(), true);
        // The handle is already cleared while __deleted runs.
        QCOMPARE(fx->eval("ok").toBool(), false);
        QCOMPARE(fx->eval("err").toString(),
                 QStringLiteral("bad argument #1 to '?' (attempting to access deleted Fielded)"));
        QCOMPARE(globalHandle("h", "Fielded")->object, nullptr);
        QCOMPARE(fx->run("h:ping()"),
                 QStringLiteral("test:1: calling 'ping' on bad self (attempting to access deleted Fielded)"));
        QCOMPARE(lua_rawgetp(L, LUA_REGISTRYINDEX, address), LUA_TNIL);
        lua_pop(L, 1);
        QCOMPARE(TestAccess::trackedCount(ObjectTracker::instance(L)), 0);
        QCOMPARE(fx->eval("calls").toInt(), 1);
    }

    void objectDeletedForgetsHandleSoNextPushIsNew()
    {
        QObject obj;
        setGlobalObject("old", &obj, "QObject");
        luaX_objectdeleted(L, &obj);
        QCOMPARE(globalHandle("old", "QObject")->object, nullptr);
        setGlobalObject("new", &obj, "QObject");
        QVERIFY(!rawEqualGlobals("old", "new"));
        QCOMPARE(globalHandle("new", "QObject")->object, static_cast<void *>(&obj));
    }

    void reusedAddressGetsNewHandle()
    {
        auto *first = new QObject;
        const void *address = first;
        setGlobalObject("old", first, "QObject");
        {
            StdoutCapture quiet;
            delete first;
        }
        QObject *again = nullptr;
        QList<QObject *> misses;
        for (int i = 0; i < 1000 && !again; ++i) {
            auto *o = new QObject;
            if (static_cast<void *>(o) == address)
                again = o;
            else
                misses << o;
        }
        qDeleteAll(misses);
        if (!again)
            QSKIP("the allocator never handed the address out again (sanitizer quarantine)");
        std::unique_ptr<QObject> keep(again);
        setGlobalObject("new", again, "QObject");
        QVERIFY(!rawEqualGlobals("old", "new"));
        QCOMPARE(globalHandle("old", "QObject")->object, nullptr);
        QCOMPARE(globalHandle("new", "QObject")->object, static_cast<void *>(again));
        StdoutCapture quiet;
        keep.reset();
    }

    void trackerTeardownReleasesLiveObjects()
    {
        auto *obj = new QObject;
        luaX_pushqobject(L, obj);
        lua_pop(L, 1);
        QVERIFY(obj->property("lua").isValid());
        QCOMPARE(ObjectTracker::forObject(obj), ObjectTracker::instance(L));
        {
            StdoutCapture quiet;
            fx->close();
        }
        QVERIFY(!obj->property("lua").isValid());
        QCOMPARE(ObjectTracker::forObject(obj), nullptr);
        QEvent poke(QEvent::User); // the filter must be gone with the tracker
        QCoreApplication::sendEvent(obj, &poke);
        StdoutCapture out;
        delete obj;
        QCOMPARE(out.text(), QString());
    }

    void lcdCanvasIsSharedPainterHandle()
    {
        QCOMPARE(lua_getglobal(L, "lcdCanvas"), LUA_TNIL); // the tracker makes it
        lua_pop(L, 1);
        ObjectTracker *tracker = ObjectTracker::instance(L);
        QCOMPARE(ObjectTracker::instance(L), tracker);
        lua_getglobal(L, "lcdCanvas");
        QCOMPARE(luaX_toobject(L, -1, "QPainter"), static_cast<void *>(tracker->sharedPainter()));
        QVERIFY(!luaX_testudata(L, -1, "QObject"));
        QVERIFY(!tracker->sharedPainter()->isActive());
        lua_getfield(L, LUA_REGISTRYINDEX, "Tracker.Instance");
        QCOMPARE(luaX_toobject(L, -1, "Tracker"), static_cast<void *>(static_cast<QObject *>(tracker)));
        lua_settop(L, 0);
    }

    // ---- small readers ----

    void toint_data()
    {
        QTest::addColumn<QByteArray>("expr");
        QTest::addColumn<int>("expected");
        QTest::newRow("true") << QByteArray("true") << 1;
        QTest::newRow("false") << QByteArray("false") << 0;
        QTest::newRow("nil") << QByteArray("nil") << 0;
        QTest::newRow("2.9") << QByteArray("2.9") << 2;
        QTest::newRow("-2.9") << QByteArray("-2.9") << -2;
        QTest::newRow("numeric string") << QByteArray("'12.7'") << 12;
        QTest::newRow("other string") << QByteArray("'x'") << 0;
        QTest::newRow("table") << QByteArray("{}") << 0;
        QTest::newRow("NaN") << QByteArray("0/0") << 0;
        QTest::newRow("low 32 bits of integer") << QByteArray("0x100000005") << 5;
        QTest::newRow("low 32 bits of float") << QByteArray("2.0^32 + 5") << 5;
        QTest::newRow("2^31 wraps") << QByteArray("2147483648") << int(INT32_MIN);
        // Beyond 64 bits: saturated, then the low 32 bits.
        QTest::newRow("huge") << QByteArray("1e300") << -1;
        QTest::newRow("-huge") << QByteArray("-1e300") << 0;
        QTest::newRow("inf") << QByteArray("math.huge") << -1;
    }
    void toint()
    {
        QFETCH(QByteArray, expr);
        QFETCH(int, expected);
        QCOMPARE(luaL_dostring(L, ("return " + expr).constData()), LUA_OK);
        QCOMPARE(luaX_toint(L, -1), expected);
        lua_settop(L, 0);
    }

    void torect()
    {
        lua_pushinteger(L, 5);
        QVERIFY(luaX_torect(L, -1).isNull());
        QCOMPARE(luaX_torect(L, -1), QRect(0, 0, 0, 0));
        QCOMPARE(luaX_torect(L, 10), QRect()); // no value at all
        QCOMPARE(luaL_dostring(L, "return {x=1, y=2, w=3, h=4}"), LUA_OK);
        const QRect r = luaX_torect(L, -1);
        QCOMPARE(r.left(), 1);
        QCOMPARE(r.top(), 2);
        QCOMPARE(r.right(), 3);
        QCOMPARE(r.bottom(), 5);
        QCOMPARE(luaL_dostring(L, "return {x=1.9, y=-1.9, w='7', h=nil}"), LUA_OK);
        QCOMPARE(luaX_torect(L, -1), QRect(1, -1, 7, 0));
        QCOMPARE(lua_gettop(L), 3);
        lua_settop(L, 0);
    }

    // ---- protected calls and the format language ----

    void formatPushesTypedArguments()
    {
        QCOMPARE(fx->run("function describe(...)\n"
                         "  local t, out = table.pack(...), {}\n"
                         "  for i = 1, t.n do out[i] = (math.type(t[i]) or type(t[i])) .. ':' .. tostring(t[i]) end\n"
                         "  return table.concat(out, ' ')\n"
                         "end"),
                 QString());
        lua_getglobal(L, "describe");
        lua_pushliteral(L, "first");
        QCOMPARE(luaX_pcall(L, 1, 1, "%d %f %s", 7, 2.0, "text"), LUA_OK);
        QCOMPARE(popString(), QByteArray("string:first integer:7 float:2.0 string:text"));
        // Other characters and unknown letters push nothing and take no value.
        lua_getglobal(L, "describe");
        QCOMPARE(luaX_pcall(L, 0, 1, "x=%d, %q y=%s;", -3, "y"), LUA_OK);
        QCOMPARE(popString(), QByteArray("integer:-3 string:y"));
        lua_getglobal(L, "describe");
        QCOMPARE(luaX_pcall(L, 0, 1, ""), LUA_OK);
        QCOMPARE(popString(), QByteArray(""));
        QCOMPARE(lua_gettop(L), 0);
    }

    void indexDirectiveSeesTheCallersStack()
    {
        QCOMPARE(fx->run("function describe(...) return table.concat({...}, ',') end"), QString());
        lua_pushliteral(L, "marker");   /* 1 */
        lua_getglobal(L, "describe");   /* 2 */
        lua_pushliteral(L, "argument"); /* 3 */
        QCOMPARE(luaX_pcall(L, 1, 1, "%i %i %i", 1, -3, -1), LUA_OK);
        QCOMPARE(popString(), QByteArray("argument,marker,marker,argument"));
        QCOMPARE(lua_gettop(L), 1);
        lua_settop(L, 0);
    }

    void objectDirectivePushesTheHandle()
    {
        QObject known;
        setGlobalObject("known", &known, "Fielded");
        QCOMPARE(fx->run("function same(a, b) return rawequal(a, known), getmetatable(b).__classname end"),
                 QString());
        auto *label = new QLabel; // no handle yet: pushed under its nearest registered class
        lua_getglobal(L, "same");
        QCOMPARE(luaX_pcall(L, 0, 2, "%o %o", static_cast<QObject *>(&known), static_cast<QObject *>(label)),
                 LUA_OK);
        QVERIFY(lua_toboolean(L, -2));
        QCOMPARE(QByteArray(lua_tostring(L, -1)), QByteArray("QWidget"));
        lua_settop(L, 0);
        StdoutCapture quiet;
        delete label;
    }

    void resultDirectivesRequestExtraResults()
    {
        QCOMPARE(fx->run("function five(...) return 1, 2, 3, 4, 5 end"), QString());
        lua_getglobal(L, "five");
        QCOMPARE(luaX_pcall(L, 0, 0, "%r", 3), LUA_OK);
        QCOMPARE(lua_gettop(L), 3);
        QCOMPARE(lua_tointeger(L, 3), 3);
        lua_settop(L, 0);
        lua_getglobal(L, "five");
        QCOMPARE(luaX_pcall(L, 0, 1, "%5 %2"), LUA_OK); // the later digit wins
        QCOMPARE(lua_gettop(L), 3);
        lua_settop(L, 0);
        lua_getglobal(L, "five");
        QCOMPARE(luaX_pcall(L, 0, 0, "%d %r %s", 1, 4, "s"), LUA_OK);
        QCOMPARE(lua_gettop(L), 4);
        lua_settop(L, 0);
    }

    void errorWithEmptyFormatReturnsStatusAndTraceback()
    {
        lua_pushliteral(L, "below");
        QCOMPARE(luaL_loadbuffer(L, "error('kaput')", 14, "=chunk"), LUA_OK);
        StdoutCapture out;
        const int status = luaX_pcall(L, 0, 0, "");
        const QStringList lines = out.text().split('\n');
        QCOMPARE(status, LUA_ERRRUN);
        QCOMPARE(lua_gettop(L), 2);
        const QByteArray traceback = lua_tostring(L, -1);
        QVERIFY2(traceback.startsWith("chunk:1: kaput\nstack traceback:"), traceback.constData());
        QCOMPARE(lines.value(0), QStringLiteral("ERROR(traceback): chunk:1: kaput"));
        QCOMPARE(lines.value(1), QStringLiteral("ERROR(traceback): chunk:1: kaput"));
        QCOMPARE(lines.value(2), QStringLiteral("stack traceback:"));
        QCOMPARE(QByteArray(lua_tostring(L, 1)), QByteArray("below"));
        lua_settop(L, 0);
    }

    void tracebackHandlerPassesOddErrorsUnchanged()
    {
        QCOMPARE(luaL_loadstring(L, "error(setmetatable({}, {__tostring = function() return 'T' end}))"), LUA_OK);
        StdoutCapture out;
        QCOMPARE(luaX_pcall(L, 0, 0, ""), LUA_ERRRUN);
        QCOMPARE(lua_type(L, -1), LUA_TTABLE);
        lua_settop(L, 0);
        // Without the debug library only the first line is printed.
        QCOMPARE(luaL_dostring(L, "debug = nil"), LUA_OK);
        QCOMPARE(luaL_loadbuffer(L, "error('bare')", 13, "=chunk"), LUA_OK);
        QCOMPARE(luaX_pcall(L, 0, 0, "%0"), LUA_ERRRUN);
        QCOMPARE(QByteArray(lua_tostring(L, -1)), QByteArray("chunk:1: bare"));
        lua_settop(L, 0);
        QCOMPARE(out.text(), QStringLiteral("ERROR(traceback): chunk:1: bare\n"));
    }

    void dostringAndReportError()
    {
        StdoutCapture out;
        QCOMPARE(luaX_dostring(L, "return +", ""), LUA_ERRSYNTAX);
        QCOMPARE(lua_gettop(L), 0);
        QCOMPARE(luaX_dostring(L, "got = table.concat({...}, '|')", "%d %s", 3, "x"), LUA_OK);
        QCOMPARE(lua_gettop(L), 0);
        lua_pushliteral(L, "keep");
        lua_pushliteral(L, "the message");
        luaX_reporterror(L, "Some context");
        lua_pushinteger(L, 42);
        luaX_reporterror(L, nullptr);
        QCOMPARE(lua_gettop(L), 1);
        lua_settop(L, 0);
        const QString text = out.text();
        QCOMPARE(text,
                 QStringLiteral("[[string \"return +\"]:1: unexpected symbol near '+']\n"
                                "Error: Some context\n[the message]\n[42]\n"));
        QCOMPARE(fx->eval("got").toByteArray(), QByteArray("3|x"));
    }

    void fatalCallsEndTheProcess_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("message");
        QTest::newRow("null format") << "pcall-null" << "error('boom-null')" << "boom-null";
        QTest::newRow("bang format") << "pcall-bang" << "local n = ... ; error('boom-' .. n)" << "boom-7";
        QTest::newRow("dispatch without MsgHandler") << "dispatch-null" << "MsgHandler = nil"
                                                     << "attempt to call a nil value";
        QTest::newRow("MsgHandler error in onPaint")
            << "dispatch-null" << "function MsgHandler(h, m) error('paint-' .. m) end" << "paint-onPaint";
        QTest::newRow("__deleted error") << "deleted" << "qt.QObject.__deleted = function() error('gone') end"
                                         << "gone";
        QTest::newRow("method call, null format")
            << "callmethod-null" << "qt.QObject.boom = function(self) error('method') end" << "method";
    }
    void fatalCallsEndTheProcess()
    {
        QFETCH(QString, mode);
        QFETCH(QString, code);
        QFETCH(QString, message);
        const testsupport::Run run =
            testsupport::runProcess(testsupport::driverBinary("binding_driver"), {mode, code});
        QVERIFY2(run.finished && !run.crashed, run.err.constData());
        QCOMPARE(run.status, 1);
        const QStringList lines = testsupport::lines(run.out);
        const int first = testsupport::lineIndex(lines, "ERROR(traceback): ");
        QVERIFY2(first >= 0 && lines.at(first).contains(message), run.out.constData());
        const int failed = lines.indexOf("Error: Call failed");
        QVERIFY2(failed > first, run.out.constData());
        QVERIFY(lines.value(failed + 1).startsWith('['));
        QVERIFY(lines.value(failed + 1).contains(message));
        QVERIFY(testsupport::lineIndex(lines, "stack traceback:", failed) > failed);
        QCOMPARE(testsupport::lineIndex(lines, "returned"), -1);
    }

    void emptyFormatErrorIsNotFatal()
    {
        const testsupport::Run run =
            testsupport::runProcess(testsupport::driverBinary("binding_driver"), {"pcall-empty", "error('soft')"});
        QCOMPARE(run.status, 0);
        QVERIFY2(run.out.contains("returned 2\n"), run.out.constData());
        QVERIFY(!run.out.contains("Call failed"));
    }

    // ---- handler dispatch and method calls ----

    void dispatchPassesHandleMessageAndArguments()
    {
        QObject obj;
        setGlobalObject("obj", &obj, "QObject");
        QCOMPARE(fx->run("function MsgHandler(h, msg, ...)\n"
                         "  seen = {h = h, same = rawequal(h, obj), msg = msg, n = select('#', ...), ...}\n"
                         "end"),
                 QString());
        ObjectTracker *tracker = ObjectTracker::instance(L);
        QCOMPARE(tracker->dispatch(&obj, "onMove", "%d %d", 12, -4), 0);
        QCOMPARE(fx->eval("seen.same").toBool(), true);
        QCOMPARE(fx->eval("seen.msg").toByteArray(), QByteArray("onMove"));
        QCOMPARE(fx->eval("seen.n").toInt(), 2);
        QCOMPARE(fx->eval("seen[1] * 100 + seen[2]").toInt(), 1196);
        QCOMPARE(tracker->dispatch(nullptr, "onStartup", nullptr), 0);
        QCOMPARE(fx->eval("seen.h == nil and seen.n == 0 and seen.msg").toByteArray(), QByteArray("onStartup"));
        QCOMPARE(lua_gettop(L), 0);
    }

    void dispatchResultRule_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<int>("expected");
        QTest::newRow("true") << QByteArray("return true") << 1;
        QTest::newRow("false") << QByteArray("return false") << 0;
        QTest::newRow("nil") << QByteArray("return nil") << 0;
        QTest::newRow("nothing") << QByteArray("") << 0;
        QTest::newRow("2.9") << QByteArray("return 2.9") << 2;
        QTest::newRow("-2.9") << QByteArray("return -2.9") << -2;
        QTest::newRow("table") << QByteArray("return {}") << 0;
        QTest::newRow("only the first result") << QByteArray("return false, 5") << 0;
    }
    void dispatchResultRule()
    {
        QFETCH(QByteArray, answer);
        QFETCH(int, expected);
        QCOMPARE(fx->run("function MsgHandler() " + answer + " end"), QString());
        QObject obj;
        luaX_pushqobject(L, &obj);
        lua_pushliteral(L, "kept");
        ObjectTracker *tracker = ObjectTracker::instance(L);
        QCOMPARE(tracker->dispatch(&obj, "onTouchPress", "%d %d", 1, 2), expected);
        QCOMPARE(tracker->dispatch(&obj, "onClose", nullptr), expected);
        QCOMPARE(lua_gettop(L), 2);
        QCOMPARE(QByteArray(lua_tostring(L, 2)), QByteArray("kept"));
        lua_settop(L, 0);
    }

    void dispatchErrorIsPrintedAndReturnsZero()
    {
        QCOMPARE(fx->run("function MsgHandler(h, msg) error('handler broke') end"), QString());
        QTimer timer;
        luaX_pushqobject(L, &timer);
        lua_pushliteral(L, "kept"); /* handle, "kept" */
        ObjectTracker *tracker = ObjectTracker::instance(L);
        StdoutCapture out;
        const int withObject = tracker->dispatch(&timer, "onKeyPress", "%s %s %d", "a", "", 65);
        const int withoutObject = tracker->dispatch(nullptr, "onReadyRead", "");
        const QStringList lines = out.text().split('\n');
        QCOMPARE(withObject, 0);
        QCOMPARE(withoutObject, 0);
        QCOMPARE(lua_gettop(L), 2);
        QCOMPARE(QByteArray(lua_tostring(L, 2)), QByteArray("kept"));
        lua_settop(L, 0);
        const int header = lines.indexOf(QStringLiteral("LuaMsgHandler onKeyPress %1 QTimer").arg(addressOf(&timer)));
        QVERIFY2(header > 0, qPrintable(lines.join('\n')));
        QVERIFY(lines.at(0).startsWith("ERROR(traceback): "));
        QCOMPARE(lines.value(header + 1), QStringLiteral("Error: LuaMsgHandler"));
        QVERIFY(lines.value(header + 2).startsWith('['));
        QVERIFY(lines.value(header + 2).contains("handler broke"));
        // Without an object there is no LuaMsgHandler line, only the report.
        QCOMPARE(lines.filter(QRegularExpression("^LuaMsgHandler ")).size(), 1);
        QCOMPARE(lines.count(QStringLiteral("Error: LuaMsgHandler")), 2);
    }

    // Regression: an error value whose __tostring raised or returned no
    // string ended the process ("PANIC: unprotected error in call to Lua
    // API"); the report converted it outside any protection.
    void everyErrorValueIsReported_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<QString>("report"); // the bracketed line, as a pattern
        QTest::newRow("nil") << QByteArray("nil") << QStringLiteral("^\\[nil\\]$");
        QTest::newRow("false") << QByteArray("false") << QStringLiteral("^\\[false\\]$");
        QTest::newRow("table") << QByteArray("{}") << QStringLiteral("^\\[table: 0x[0-9a-f]+\\]$");
        QTest::newRow("handle") << QByteArray("obj") << QStringLiteral("^\\[Fielded: 0x[0-9a-f]+\\]$");
        QTest::newRow("function") << QByteArray("print") << QStringLiteral("^\\[(builtin|function): ");
        QTest::newRow("number") << QByteArray("42") << QStringLiteral("^\\[42$");
        QTest::newRow("__tostring gives a string")
            << QByteArray("setmetatable({}, {__tostring = function() return 'described' end})")
            << QStringLiteral("^\\[described\\]$");
        QTest::newRow("__tostring raises")
            << QByteArray("setmetatable({}, {__tostring = function() error('no words') end})")
            << QStringLiteral("^\\[\\(error object is a table value\\)\\]$");
        QTest::newRow("__tostring raises a table")
            << QByteArray("setmetatable({}, {__tostring = function(self) error(self) end})")
            << QStringLiteral("^\\[\\(error object is a table value\\)\\]$");
        QTest::newRow("__tostring recurses")
            << QByteArray("setmetatable({}, {__tostring = function(self) return tostring(self) end})")
            << QStringLiteral("^\\[\\(error object is a table value\\)\\]$");
        QTest::newRow("__tostring gives a number") // which Lua itself turns into text
            << QByteArray("setmetatable({}, {__tostring = function() return 7 end})") << QStringLiteral("^\\[7\\]$");
        QTest::newRow("__tostring gives nil")
            << QByteArray("setmetatable({}, {__tostring = function() end})")
            << QStringLiteral("^\\[\\(error object is a table value\\)\\]$");
        QTest::newRow("handle whose class __tostring raises")
            << QByteArray("(function() T.Fielded.__tostring = function() error('x') end return obj end)()")
            << QStringLiteral("^\\[\\(error object is a userdata value\\)\\]$");
    }
    void everyErrorValueIsReported()
    {
        QFETCH(QByteArray, value);
        QFETCH(QString, report);
        QObject obj;
        setGlobalObject("obj", &obj, "Fielded");
        QCOMPARE(fx->run("function MsgHandler() error(" + value + ") end"), QString());
        ObjectTracker *tracker = ObjectTracker::instance(L);
        StdoutCapture out;
        QCOMPARE(tracker->dispatch(&obj, "onKeyPress", "%s %s %d", "a", "", 65), 0);
        QCOMPARE(tracker->dispatch(nullptr, "onError", "%s", "refused"), 0);
        const QStringList lines = out.text().split('\n');
        QCOMPARE(lua_gettop(L), 0);
        QCOMPARE(lines.count(QStringLiteral("Error: LuaMsgHandler")), 2);
        const QRegularExpression pattern(report);
        for (int i = 0; i < lines.size(); ++i)
            if (lines.at(i) == QLatin1String("Error: LuaMsgHandler"))
                QVERIFY2(pattern.match(lines.value(i + 1)).hasMatch(), qPrintable(lines.join('\n')));
        // Still a working interpreter.
        QCOMPARE(fx->eval("1 + 1").toInt(), 2);
    }

    void dispatchWithoutMsgHandlerIsReportedForNonFatalFormat()
    {
        StdoutCapture out;
        QCOMPARE(ObjectTracker::instance(L)->dispatch(nullptr, "onError", "%s", "refused"), 0);
        const QString text = out.text();
        QVERIFY(text.contains("Error: LuaMsgHandler\n[attempt to call a nil value"));
        QCOMPARE(lua_gettop(L), 0);
    }

    void dispatchSurvivesTheGlobalTableReplacedInTheRegistry()
    {
        ObjectTracker *tracker = ObjectTracker::instance(L); // made at start, as in the host
        lua_rawgeti(L, LUA_REGISTRYINDEX, LUA_RIDX_GLOBALS); /* _G, kept to put back */
        QCOMPARE(fx->run("function MsgHandler() end debug.getregistry()[2] = 42"), QString());
        StdoutCapture out;
        QCOMPARE(tracker->dispatch(nullptr, "onError", "%s", "refused"), 0);
        QVERIFY2(out.text().contains("Error: LuaMsgHandler\n"), qPrintable(out.text()));
        QCOMPARE(lua_gettop(L), 1);
        lua_rawseti(L, LUA_REGISTRYINDEX, LUA_RIDX_GLOBALS);
        QCOMPARE(fx->eval("1 + 1").toInt(), 2);
    }

    void callMethodCallsFieldWithHandleAsSelf()
    {
        QObject obj;
        setGlobalObject("t", &obj, "Fielded");
        QCOMPARE(fx->run("t.onTimeout = function(self, n, s) self_ok = rawequal(self, t); got = n .. s end"),
                 QString());
        lua_pushliteral(L, "kept");
        QCOMPARE(luaX_callmethod(L, &obj, "onTimeout", "%d %s", 3, "x"), LUA_OK);
        QCOMPARE(luaX_callmethod(L, &obj, "onMissing", nullptr), 0); // nil field: no call, never fatal
        QCOMPARE(lua_gettop(L), 1);
        lua_settop(L, 0);
        QCOMPARE(fx->eval("self_ok").toBool(), true);
        QCOMPARE(fx->eval("got").toByteArray(), QByteArray("3x"));
        // Class methods are reached too, as a script's t:start() would.
        QCOMPARE(fx->run("function T.Fielded.tick(self) ticked = (ticked or 0) + 1 end"), QString());
        QCOMPARE(luaX_callmethod(L, &obj, "tick", ""), LUA_OK);
        QCOMPARE(fx->eval("ticked").toInt(), 1);
        StdoutCapture out;
        QCOMPARE(fx->run("t.onTimeout = function() error('late') end"), QString());
        QCOMPARE(luaX_callmethod(L, &obj, "onTimeout", ""), LUA_ERRRUN);
        lua_settop(L, 0);
        QVERIFY(out.text().contains("ERROR(traceback): test:1: late"));
    }
};

QTEST_MAIN(BindingTest)
#include "binding.moc"
