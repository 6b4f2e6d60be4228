// Use after delete: every class backed by a Qt object loses its object in
// each way an object can go (destroy, its parent, native delete, its own
// handler); then every method of the class, found by walking the class
// table, is called on the handle and must raise "attempting to access
// deleted", never touch the dead object.
#include "luafixture.h"
#include "internals.h"
#include "luax.h"
#include "tracker.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QPointer>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QWidget>

#include <cstdio>
#include <cstring>

int luaopen_bonjour_core(lua_State *L);
int luaopen_serial_core(lua_State *L);

using testsupport::LuaFixture;

namespace {

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

struct Kind {
    const char *className;
    const char *make; // Lua expression giving a live handle
    const char *handlerOn; // the message (or field) whose handler destroys the object
};

const Kind kKinds[] = {
    { "QObject", "newQObject()", "onClose" },
    { "QWidget", "newQWidget()", "onClose" },
    { "Widget", "qt.Widget.create()", "onClose" },
    { "QDialog", "qt.QDialog.create()", "onClose" },
    { "PushButton", "qt.PushButton.create()", "onClick" },
    { "QLineEdit", "qt.QLineEdit.create()", "onClose" },
    { "QPlainTextEdit", "qt.QPlainTextEdit.create()", "onClose" },
    { "Timer", "qt.Timer.create()", "onTimeout" },
    { "TcpServer", "qt.TcpServer.create('127.0.0.1', 0)", "onNewConnection" },
    { "TcpSocket", "qt.TcpSocket.create()", "onConnected" },
    { "FDView", "qt.FDView.create()", "onClose" },
    { "SerialPort", "serial.SerialPort.create()", "onError" },
    { "Bonjour", "bonjour.Bonjour.create()", "onTimer" },
};

enum Way { ByDestroy, ByParent, ByNativeDelete, InOwnHandler };

// Calls every method of the handle's class (inherited ones too) on the dead
// handle, bare and with plausible arguments. Left out: create (a constructor,
// no receiver), __gc (the collector's: it must stay quiet on a dead handle)
// and __index/__newindex (per-object fields outlive the object by design).
const char kProbe[] = "local class, handle = ...\n"
                      "local names, seen, t = {}, {}, class\n"
                      "while type(t) == 'table' do\n"
                      "  for k, v in pairs(t) do\n"
                      "    if type(v) == 'function' and not seen[k] then seen[k] = true names[#names + 1] = k end\n"
                      "  end\n"
                      "  local mt = getmetatable(t) t = mt and rawget(mt, '__index')\n"
                      "end\n"
                      "local skip = { create = true, __gc = true, __index = true, __newindex = true }\n"
                      "local bad, calls = {}, 0\n"
                      "for _, name in ipairs(names) do\n"
                      "  if not skip[name] then\n"
                      "    for _, extra in ipairs({ false, true }) do\n"
                      "      local ok, err\n"
                      "      if extra then ok, err = pcall(class[name], handle, 1, 1, 1, 1, 1, 1, 1, 1, 1)\n"
                      "      else ok, err = pcall(class[name], handle) end\n"
                      "      calls = calls + 1\n"
                      "      if ok or not tostring(err):find('attempting to access deleted', 1, true) then\n"
                      "        bad[#bad + 1] = name .. ': ' .. tostring(err)\n"
                      "      end\n"
                      "    end\n"
                      "  end\n"
                      "end\n"
                      "return table.concat(bad, '; '), calls\n";

} // namespace

class UseAfterDeleteTest : public QObject {
    Q_OBJECT

    LuaFixture *lua = nullptr;
    int deletions = 0;
    int calls = 0;

    QObject *handleObject(const char *global)
    {
        lua_getglobal(lua->L, global);
        auto *object = luaX_toqobject<QObject>(lua->L, -1, "QObject");
        lua_pop(lua->L, 1);
        return object;
    }

    bool handleIsDead(const char *global)
    {
        lua_getglobal(lua->L, global);
        LuaHandle *h = luaX_testudata(lua->L, -1, "QObject");
        lua_pop(lua->L, 1);
        return h && !h->object;
    }

private slots:
    void initTestCase()
    {
        lua = new LuaFixture;
        lua_State *L = lua->L;
        luaL_requiref(L, "bonjour.core", luaopen_bonjour_core, 0);
        lua_setglobal(L, "bonjour");
        luaL_requiref(L, "serial.core", luaopen_serial_core, 0);
        lua_setglobal(L, "serial");
        lua_register(L, "newQObject", newQObject);
        lua_register(L, "newQWidget", newQWidget);
        // A dispatched handler destroys the victim when its message comes.
        QCOMPARE(lua->run("function MsgHandler(o, m) if o == victim and m == killOn then o:destroy() end return 0 end"),
            QString());
    }

    void cleanupTestCase()
    {
        QCOMPARE(lua->run("victim = nil collectgarbage() collectgarbage()"), QString());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        printf("use after delete: %d deletions tried, %d calls on dead handles\n", deletions, calls);
        fflush(stdout);
        QCOMPARE(deletions, int(sizeof kKinds / sizeof kKinds[0]) * 4);
        QCOMPARE(TestAccess::trackedCount(ObjectTracker::instance(lua->L)), 0);
        delete lua;
    }

    void methodsOnDeletedObjects_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("way");
        static const char *const ways[] = { "destroy", "parent", "native delete", "own handler" };
        for (int k = 0; k < int(sizeof kKinds / sizeof kKinds[0]); ++k)
            for (int w = ByDestroy; w <= InOwnHandler; ++w)
                QTest::addRow("%s by %s", kKinds[k].className, ways[w]) << k << w;
    }

    void methodsOnDeletedObjects()
    {
        QFETCH(int, kind);
        QFETCH(int, way);
        const Kind &k = kKinds[kind];
        QCOMPARE(lua->run(QByteArray("victim = ") + k.make + "\nkillOn = '" + k.handlerOn + "'"), QString());
        QPointer<QObject> object = handleObject("victim");
        QVERIFY(object);
        QVERIFY(lua->eval("getmetatable(victim).__classname").toByteArray() == k.className);
        ++deletions;

        QTcpServer listener; // for a socket's own handler
        QTcpSocket client; // for a server's own handler
        switch (way) {
        case ByDestroy:
            QCOMPARE(lua->run("victim:destroy()"), QString());
            QVERIFY(!handleIsDead("victim")); // deferred, not yet
            break;
        case ByParent: {
            // Native code adopts the object; deleting the parent takes it along.
            if (object->isWidgetType()) {
                auto *parent = new QWidget;
                static_cast<QWidget *>(object.data())->setParent(parent);
                delete parent;
            } else {
                auto *parent = new QObject;
                object->setParent(parent);
                delete parent;
            }
            break;
        }
        case ByNativeDelete:
            delete object.data();
            break;
        case InOwnHandler:
            if (!strcmp(k.className, "Timer")) {
                QCOMPARE(lua->run("victim.onTimeout = function(t) t:destroy() end victim:setTimeout(0) victim:start()"),
                    QString());
            } else if (!strcmp(k.className, "PushButton")) {
                qobject_cast<QPushButton *>(object.data())->click();
            } else if (!strcmp(k.className, "TcpServer")) {
                client.connectToHost(QHostAddress::LocalHost, quint16(lua->eval("victim:port()").toInt()));
            } else if (!strcmp(k.className, "TcpSocket")) {
                QVERIFY(listener.listen(QHostAddress::LocalHost));
                QCOMPARE(lua->run("victim:connect('127.0.0.1', " + QByteArray::number(listener.serverPort()) + ")"),
                    QString());
            } else if (!strcmp(k.className, "SerialPort")) {
                QCOMPARE(lua->run("victim:open('/nonexistent/orvane-tty')"), QString());
            } else if (!strcmp(k.className, "Bonjour")) {
                // Its own 10 ms tick reaches the handler.
            } else {
                QCloseEvent close;
                QCoreApplication::sendEvent(object, &close);
            }
            break;
        }
        QTRY_VERIFY_WITH_TIMEOUT(!object, 5000);
        QVERIFY(handleIsDead("victim"));

        lua_State *L = lua->L;
        QCOMPARE(luaL_loadstring(L, kProbe), LUA_OK);
        lua_getglobal(L, "victim");
        lua_getmetatable(L, -1);
        lua_insert(L, -2);
        QCOMPARE(lua_pcall(L, 2, 2, 0), LUA_OK);
        const QString failures = QString::fromUtf8(lua_tostring(L, -2));
        const int made = int(lua_tointeger(L, -1));
        lua_pop(L, 2);
        calls += made;
        QVERIFY2(failures.isEmpty(), qPrintable(failures));
        QVERIFY(made >= 10); // at least the five QObject methods, bare and with arguments
        QCOMPARE(lua->run("victim = nil collectgarbage()"), QString());
    }
};

QTEST_MAIN(UseAfterDeleteTest)
#include "useafterdelete.moc"
