// The editor annotations cannot drift from the code: gen-annotations is run
// on the real descriptions (clean, and its output carries the registered
// classes) and on descriptions altered in each way drift happens (a method
// added to a table without a description, a description left behind, ...),
// which --check must refuse. The messages described are also held against
// the messages the host's sources dispatch, with their argument counts.
#include "testsupport.h"

#include <QDirIterator>
#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <lua.hpp>

#ifndef GEN_ANNOTATIONS
#error "GEN_ANNOTATIONS is set by tools/CMakeLists.txt"
#endif

using testsupport::Run;

class AnnotationsTest : public QObject {
    Q_OBJECT

    QTemporaryDir tmp;
    const QString descriptions = QStringLiteral(GEN_ANNOTATIONS_DIR "/descriptions.lua");

    Run generate(const QStringList &args) { return testsupport::runProcess(QStringLiteral(GEN_ANNOTATIONS), args); }

    QString read(const QString &path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }

    // Descriptions = the real ones changed by a Lua statement on `d`.
    QString altered(const QByteArray &change)
    {
        static int n = 0;
        const QString path = tmp.filePath(QStringLiteral("altered%1.lua").arg(++n));
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly))
            return QString();
        f.write("local d = dofile(\"" + descriptions.toUtf8()
            + "\")\n"
              "local qt = d.modules['qt.core']\n"
            + change + "\nreturn d\n");
        return path;
    }

private slots:
    void initTestCase() { QVERIFY(tmp.isValid()); }

    void realDescriptionsMatchTheRegisteredClasses()
    {
        const Run r = generate({ QStringLiteral("--check") });
        QVERIFY2(r.finished && r.status == 0, r.err.constData());
        QVERIFY2(!r.err.contains("gen-annotations"), r.err.constData());
    }

    void writesAnnotationsFromTheRegisteredClasses()
    {
        const QString types = tmp.filePath(QStringLiteral("types"));
        const QString docs = tmp.filePath(QStringLiteral("reference"));
        const Run r = generate({ QStringLiteral("--types"), types, QStringLiteral("--docs"), docs });
        QVERIFY2(r.finished && r.status == 0, r.err.constData());
        QVERIFY2(!r.err.contains("warning"), r.err.constData());

        const QString core = read(types + QStringLiteral("/qt.core.lua"));
        QVERIFY(core.startsWith(QStringLiteral("---@meta qt.core")));
        // Bases come from the registration, MainWindow included.
        QVERIFY(core.contains(QStringLiteral("---@class PushButton : QWidget\n")));
        QVERIFY(core.contains(QStringLiteral("---@class MainWindow : QWidget\n")));
        QVERIFY(core.contains(QStringLiteral("---@class QObject\n")));
        QVERIFY(core.contains(QStringLiteral("function QWidget:setGeometry(x, y, w, h) end")));
        QVERIFY(core.contains(QStringLiteral("---@param parent? QWidget")));
        QVERIFY(core.contains(QStringLiteral("function QWidget.create(parent) end")));
        QVERIFY(core.contains(QStringLiteral("---@return integer height\nfunction QWidget:geometry() end")));
        // Inherited copies and metamethods are not redeclared.
        QVERIFY(!core.contains(QStringLiteral("function Widget.create")));
        QVERIFY(!core.contains(QStringLiteral("function PushButton:show")));
        QVERIFY(!core.contains(QStringLiteral("__gc")));
        QVERIFY(!core.contains(QStringLiteral("__init")));
        QVERIFY(core.contains(QStringLiteral("function qt.chooseFile(parent, caption, dir, filter) end")));
        QVERIFY(core.contains(QStringLiteral("qt.MainWindow = MainWindow")));
        QVERIFY(core.trimmed().endsWith(QStringLiteral("return qt")));

        const QString serial = read(types + QStringLiteral("/serial.core.lua"));
        QVERIFY(serial.contains(QStringLiteral("---@class SerialPort : QObject\n")));
        QVERIFY(serial.contains(QStringLiteral("---@return string ...\nfunction serial.ports() end")));
        const QString bonjour = read(types + QStringLiteral("/bonjour.core.lua"));
        QVERIFY(bonjour.contains(QStringLiteral("function Bonjour:resolve(type, name, domain) end")));

        const QString globals = read(types + QStringLiteral("/globals.lua"));
        QVERIFY(globals.contains(QStringLiteral("---@type MainWindow\nmainWindow = nil")));
        QVERIFY(globals.contains(QStringLiteral("---@type boolean\n_STANDALONE = nil")));
        QVERIFY(globals.contains(QStringLiteral(
            "---@overload fun(obj: QWidget, msg: \"onTouchPress\", x: integer, y: integer): boolean|integer|nil")));
        QVERIFY(
            globals.contains(QStringLiteral("---@overload fun(obj: TcpSocket, msg: \"onError\", text: string): any")));
        QVERIFY(globals.contains(QStringLiteral("---| \"onReadyRead\" # (SerialPort) Bytes arrived; read them. / "
                                                "(TcpSocket) Bytes arrived; call read().")));
        QVERIFY(globals.contains(QStringLiteral("function MsgHandler(obj, msg, ...) end")));

        // Annotation files are Lua too: a broken one makes the server ignore it.
        for (const char *file : { "qt.core.lua", "bonjour.core.lua", "serial.core.lua", "globals.lua" }) {
            lua_State *L = luaL_newstate();
            const QByteArray path = (types + QLatin1Char('/') + QLatin1String(file)).toLocal8Bit();
            const bool compiles = luaL_loadfile(L, path.constData()) == LUA_OK;
            const QByteArray message = compiles ? QByteArray() : QByteArray(lua_tostring(L, -1));
            lua_close(L);
            QVERIFY2(compiles, message.constData());
        }

        const QString ref = read(docs + QStringLiteral("/qt.core.md"));
        QVERIFY(ref.contains(QStringLiteral("## PushButton")));
        QVERIFY(ref.contains(QStringLiteral("| `qt.QDialog.create(parent)` |")));
        QVERIFY(read(docs + QStringLiteral("/globals.md")).contains(QStringLiteral("| `onTouchPress` | `QWidget` |")));
    }

    void checkRefusesDrift_data()
    {
        QTest::addColumn<QByteArray>("change");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("method without description") << QByteArray("qt.classes.QWidget.methods.move = nil")
                                                    << QByteArray("QWidget.move: registered method has no description");
        QTest::newRow("description without method")
            << QByteArray("qt.classes.QWidget.methods.frobnicate = { doc = 'gone' }")
            << QByteArray("QWidget.frobnicate: described method is not registered");
        QTest::newRow("inherited method described on the derived class")
            << QByteArray("qt.classes.Widget.methods.create = { doc = 'x' }")
            << QByteArray("Widget.create: described method is inherited from QWidget");
        QTest::newRow("class without description")
            << QByteArray("qt.classes.Tracker = nil") << QByteArray("Tracker: registered class has no description");
        QTest::newRow("description of a class that does not exist")
            << QByteArray("qt.classes.QSlider = { doc = 'x', methods = {} }")
            << QByteArray("QSlider: described class is not registered in qt.core");
        QTest::newRow("MainWindow method without description")
            << QByteArray("qt.classes.MainWindow.methods.animate = nil")
            << QByteArray("MainWindow.animate: registered method has no description");
        QTest::newRow("module function without description")
            << QByteArray("d.modules['serial.core'].functions.ports = nil")
            << QByteArray("serial.core.ports: registered function has no description");
        QTest::newRow("description of a module function that does not exist")
            << QByteArray("d.modules['bonjour.core'].functions.browse = { doc = 'x' }")
            << QByteArray("bonjour.core.browse: described function is not registered");
        QTest::newRow("parameter without type")
            << QByteArray("qt.classes.QWidget.methods.setTitle.params = { { 'text' } }")
            << QByteArray("QWidget.setTitle: parameter 1 needs a name and a type");
        QTest::newRow("message without sender")
            << QByteArray("d.messages[1].from = nil") << QByteArray("message 1: needs a name and a sender type");
    }

    void checkRefusesDrift()
    {
        QFETCH(QByteArray, change);
        QFETCH(QByteArray, expected);
        const QString path = altered(change);
        QVERIFY(!path.isEmpty());
        const Run r = generate({ QStringLiteral("--check"), QStringLiteral("--descriptions"), path });
        QVERIFY(r.finished);
        QCOMPARE(r.status, 1);
        QVERIFY2(r.err.contains("gen-annotations: " + expected), r.err.constData());
        QVERIFY2(r.err.contains("1 difference(s)"), r.err.constData());
    }

    void withoutCheckDriftIsAWarningAndFilesAreStillWritten()
    {
        const QString types = tmp.filePath(QStringLiteral("drifted"));
        const Run r = generate({ QStringLiteral("--types"), types, QStringLiteral("--descriptions"),
            altered("qt.classes.QWidget.methods.hide = nil") });
        QCOMPARE(r.status, 0);
        QVERIFY2(r.err.contains("warning: QWidget.hide: registered method has no description"), r.err.constData());
        const QString core = read(types + QStringLiteral("/qt.core.lua"));
        QVERIFY(core.contains(QStringLiteral("function QWidget:show(mode) end")));
        QVERIFY(!core.contains(QStringLiteral("function QWidget:hide")));
    }

    // The host's dispatch calls name each message with a literal format
    // ("%d %d"): every one must be described with that many arguments, and
    // every described message must be dispatched somewhere.
    void messagesMatchTheDispatchedOnes()
    {
        QHash<QString, QSet<int>> dispatched; // name -> argument counts (-1: format not literal)
        // A call may choose between two names ("onDragEnter" : "onDragMove").
        const QRegularExpression call(QStringLiteral("dispatch\\(([^;]*);"));
        const QRegularExpression name(QStringLiteral("\"(on[A-Z]\\w*)\""));
        const QRegularExpression format(QStringLiteral("\"on[A-Z]\\w*\"\\s*,\\s*(nullptr|\"([^\"]*)\")"));
        QDirIterator it(testsupport::sourcePath(QStringLiteral("src")), { QStringLiteral("*.cpp") }, QDir::Files,
            QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString text = read(it.next());
            auto calls = call.globalMatch(text);
            while (calls.hasNext()) {
                const QString args = calls.next().captured(1);
                int count = -1;
                const QRegularExpressionMatch f = format.match(args);
                if (f.hasMatch())
                    count = f.captured(1) == QLatin1String("nullptr") ? 0 : f.captured(2).count(QLatin1Char('%'));
                auto names = name.globalMatch(args);
                while (names.hasNext())
                    dispatched[names.next().captured(1)].insert(count);
            }
        }
        // The generic helpers (TcpSocket::dispatch) pass an empty format.
        QVERIFY(dispatched.contains(QStringLiteral("onTouchPress")));
        QVERIFY(dispatched.contains(QStringLiteral("onConnected")));

        lua_State *L = luaL_newstate();
        luaL_openlibs(L);
        QVERIFY2(luaL_dofile(L, descriptions.toLocal8Bit().constData()) == LUA_OK, lua_tostring(L, -1));
        QHash<QString, QSet<int>> described;
        lua_getfield(L, -1, "messages");
        const lua_Integer n = luaL_len(L, -1);
        for (lua_Integer i = 1; i <= n; ++i) {
            lua_rawgeti(L, -1, i);
            lua_getfield(L, -1, "name");
            const QString name = QString::fromUtf8(lua_tostring(L, -1));
            lua_getfield(L, -2, "params");
            const int count = lua_istable(L, -1) ? int(luaL_len(L, -1)) : 0;
            lua_pop(L, 3);
            described[name].insert(count);
        }
        lua_close(L);

        for (auto i = dispatched.cbegin(); i != dispatched.cend(); ++i) {
            QVERIFY2(
                described.contains(i.key()), qPrintable(i.key() + QStringLiteral(" is dispatched but not described")));
            for (int count : i.value()) {
                if (count >= 0)
                    QVERIFY2(described[i.key()].contains(count),
                        qPrintable(QStringLiteral("%1 is dispatched with %2 argument(s)").arg(i.key()).arg(count)));
            }
        }
        for (auto i = described.cbegin(); i != described.cend(); ++i)
            QVERIFY2(dispatched.contains(i.key()),
                qPrintable(i.key() + QStringLiteral(" is described but never dispatched")));
    }
};

QTEST_GUILESS_MAIN(AnnotationsTest)
#include "annotations.moc"
