// Events of tracked widgets as the script sees them: which messages arrive,
// with which arguments, which answers consume the event, and what happens to
// the interpreter stack.
#include "luafixture.h"
#include "luax.h"
#include "msglog.h"
#include "widgets/pushbutton.h"
#include "testsupport.h"
#include "tracker.h"

#include <QApplication>
#include <QDrag>
#include <QLineEdit>
#include <QMimeData>
#include <QPointer>
#include <QTimer>
#include <QWindow>
#include <QtTest>

#include <memory>

using namespace testsupport;

namespace {

// A plain widget that remembers which events got past the event filters.
// It is given its handle after construction, so the tracker's filter is
// installed on it and runs before its own event().
class Probe : public QWidget
{
public:
    QList<QEvent::Type> seen;
    bool saw(QEvent::Type t) const { return seen.contains(t); }

protected:
    bool event(QEvent *e) override
    {
        seen << e->type();
        return QWidget::event(e);
    }
};

const char kMarker[] = "application/vnd.lua.dragdrop";

QString lastDebug;
void keepDebug(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtDebugMsg)
        lastDebug = message;
}

// Called from scripts: closes the widget given as argument 1 and returns the
// stack top the call sees afterwards.
int closeAndReportTop(lua_State *L)
{
    auto *w = luaX_checkqobject<QWidget>(L, 1, "QWidget");
    w->close();
    lua_pushinteger(L, lua_gettop(L));
    return 1;
}

// As above but moves and resizes, which must leave the stack alone.
int moveAndReportTop(lua_State *L)
{
    auto *w = luaX_checkqobject<QWidget>(L, 1, "QWidget");
    w->move(w->pos() + QPoint(3, 3));
    w->resize(w->size() + QSize(3, 3));
    lua_pushinteger(L, lua_gettop(L));
    return 1;
}

} // namespace

class Events : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<LuaFixture> fx;
    testsupport::WindowBaseline baseline;

    QString run(const QByteArray &code) { return fx->run(code); }
    QStringList log(std::initializer_list<const char *> only = {}) { return logged(*fx, only); }

    // A shown native probe named `name` in the script.
    Probe *probe(const char *name)
    {
        auto *p = new Probe;
        p->resize(100, 80);
        luaX_pushobject(fx->L, p, "QWidget");
        lua_setglobal(fx->L, name);
        run(QByteArray("names[") + name + "] = '" + name + "'");
        p->show();
        if (!QTest::qWaitForWindowExposed(p))
            qWarning("probe not exposed");
        return p;
    }

    // A script widget (or other class) named `name`, shown at 100 by 80.
    template <class T = QWidget>
    T *scriptWidget(const char *name, const char *cls = "Widget", const char *parent = "nil")
    {
        const QByteArray code = QByteArray(name) + " = qt." + cls + ".create(" + parent + ")\nnames[" + name
            + "] = '" + name + "'\n" + name + ":setGeometry(0, 0, 100, 80)\n" + name + ":show()";
        const QString err = run(code);
        if (!err.isEmpty())
            qWarning("%s", qPrintable(err));
        T *w = globalObject<T>(*fx, name);
        if (w && w->isWindow() && !QTest::qWaitForWindowExposed(w))
            qWarning("widget not exposed");
        return w;
    }

    static void sendMove(QWidget *w, QPoint pos, Qt::MouseButtons held)
    {
        QMouseEvent move(QEvent::MouseMove, pos, w->mapToGlobal(pos), Qt::NoButton, held, Qt::NoModifier);
        QApplication::sendEvent(w, &move);
    }

private slots:
    void initTestCase()
    {
        // Boxes must dismiss themselves even outside ctest.
        if (qEnvironmentVariableIsEmpty("ORVANE_AUTODISMISS_MS"))
            qputenv("ORVANE_AUTODISMISS_MS", "50");
    }

    void init()
    {
        baseline.take();
        fx = std::make_unique<LuaFixture>();
        QCOMPARE(run(recordingHandler()), QString());
    }

    void cleanup()
    {
        // The interpreter goes first, as in the host; then the windows.
        fx.reset();
        baseline.deleteNew();
    }

    // ---- pointer -------------------------------------------------------

    void touchPressMoveReleaseCarryPositions()
    {
        QWidget *w = scriptWidget("w");
        QVERIFY(w);
        clearLog(*fx);
        QTest::mousePress(w, Qt::LeftButton, Qt::NoModifier, QPoint(10, 12));
        sendMove(w, QPoint(15, 16), Qt::LeftButton);
        QTest::mouseRelease(w, Qt::LeftButton, Qt::NoModifier, QPoint(20, 22));
        QCOMPARE(log(), QStringList({"w,onTouchPress,10,12", "w,onTouchMove,15,16", "w,onTouchRelease,20,22"}));
    }

    void rightClickIsDispatchedOnPressOnly()
    {
        Probe *p = probe("p");
        clearLog(*fx);
        QTest::mousePress(p, Qt::RightButton, Qt::NoModifier, QPoint(5, 6));
        QTest::mouseRelease(p, Qt::RightButton, Qt::NoModifier, QPoint(5, 6));
        QTest::mousePress(p, Qt::MiddleButton, Qt::NoModifier, QPoint(7, 8));
        QTest::mouseRelease(p, Qt::MiddleButton, Qt::NoModifier, QPoint(7, 8));
        QCOMPARE(log(), QStringList({"p,onRightClick,5,6"}));

        // A true answer consumes the right press; a release is never consumed
        // because nothing is dispatched for it.
        run("answer.onRightClick = true answer.onTouchRelease = true");
        p->seen.clear();
        QTest::mousePress(p, Qt::RightButton, Qt::NoModifier, QPoint(5, 6));
        QTest::mouseRelease(p, Qt::RightButton, Qt::NoModifier, QPoint(5, 6));
        QVERIFY(!p->saw(QEvent::MouseButtonPress));
        QVERIFY(p->saw(QEvent::MouseButtonRelease));
    }

    void touchAnswersDecideConsumption()
    {
        Probe *p = probe("p");
        run("answer.onTouchPress = true answer.onTouchRelease = 1 answer.onTouchMove = true");
        QTest::mousePress(p, Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
        sendMove(p, QPoint(6, 6), Qt::LeftButton);
        QTest::mouseRelease(p, Qt::LeftButton, Qt::NoModifier, QPoint(6, 6));
        QVERIFY(!p->saw(QEvent::MouseButtonPress));
        QVERIFY(!p->saw(QEvent::MouseButtonRelease));
        QVERIFY(p->saw(QEvent::MouseMove)); // moves are never consumed

        run("answer.onTouchPress = false answer.onTouchRelease = 0.5");
        p->seen.clear();
        QTest::mousePress(p, Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
        QTest::mouseRelease(p, Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
        QVERIFY(p->saw(QEvent::MouseButtonPress));
        QVERIFY(p->saw(QEvent::MouseButtonRelease)); // 0.5 truncates to 0
    }

    void consumedPressGivesNoClick()
    {
        auto *b = scriptWidget<PushButton>("b", "PushButton");
        QVERIFY(b);
        run("answer.onTouchPress = true");
        clearLog(*fx);
        QTest::mousePress(b, Qt::LeftButton, Qt::NoModifier, QPoint(10, 10));
        QVERIFY(!b->isDown());
        QCOMPARE(fx->eval("b:state()").toByteArray(), QByteArray(""));
        QTest::mouseRelease(b, Qt::LeftButton, Qt::NoModifier, QPoint(10, 10));
        QCOMPARE(log({"onTouchPress", "onTouchRelease", "onClick"}),
                 QStringList({"b,onTouchPress,10,10", "b,onTouchRelease,10,10"}));

        // The same click let through goes down and clicks.
        run("answer.onTouchPress = nil");
        clearLog(*fx);
        QTest::mousePress(b, Qt::LeftButton, Qt::NoModifier, QPoint(10, 10));
        QVERIFY(b->isDown());
        QCOMPARE(fx->eval("b:state()").toByteArray(), QByteArray("down"));
        QTest::mouseRelease(b, Qt::LeftButton, Qt::NoModifier, QPoint(10, 10));
        QCOMPARE(log({"onTouchPress", "onTouchRelease", "onClick"}),
                 QStringList({"b,onTouchPress,10,10", "b,onTouchRelease,10,10", "b,onClick"}));
    }

    void doubleClickSecondPressIsNotATouch()
    {
        QWidget *w = scriptWidget("w");
        clearLog(*fx);
        QTest::mousePress(w, Qt::LeftButton, Qt::NoModifier, QPoint(4, 4));
        QTest::mouseRelease(w, Qt::LeftButton, Qt::NoModifier, QPoint(4, 4));
        QTest::mouseDClick(w, Qt::LeftButton, Qt::NoModifier, QPoint(4, 4));
        QTest::mouseRelease(w, Qt::LeftButton, Qt::NoModifier, QPoint(4, 4));
        QCOMPARE(log(), QStringList({"w,onTouchPress,4,4", "w,onTouchRelease,4,4", "w,onTouchRelease,4,4"}));
    }

    void touchPressErrorIsPrintedAndIgnored()
    {
        Probe *p = probe("p");
        run("answer.onTouchPress = function() error('press failed') end");
        StdoutCapture out;
        QTest::mousePress(p, Qt::LeftButton, Qt::NoModifier, QPoint(3, 3));
        const QString text = out.text();
        QVERIFY2(text.contains("LuaMsgHandler onTouchPress 0x"), qPrintable(text));
        QVERIFY2(text.contains("Error: LuaMsgHandler\n["), qPrintable(text));
        QVERIFY(text.contains("press failed"));
        QVERIFY(p->saw(QEvent::MouseButtonPress)); // a failed answer consumes nothing
        QCOMPARE(lua_gettop(fx->L), 0);
        // The script keeps running: the next message still arrives.
        run("answer.onTouchPress = nil");
        clearLog(*fx);
        QTest::mouseRelease(p, Qt::LeftButton, Qt::NoModifier, QPoint(3, 3));
        QCOMPARE(log(), QStringList({"p,onTouchRelease,3,3"}));
    }

    // ---- keys ----------------------------------------------------------

    void keyNamesAndModifierLetters_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("modifiers");
        QTest::addColumn<QString>("expected");
        QTest::newRow("return") << int(Qt::Key_Return) << "\r" << 0 << "enter,,16777220";
        QTest::newRow("enter") << int(Qt::Key_Enter) << "\r" << int(Qt::KeypadModifier) << "enter,,16777221";
        QTest::newRow("escape") << int(Qt::Key_Escape) << "\x1b" << 0 << "escape,,16777216";
        QTest::newRow("left") << int(Qt::Key_Left) << "" << 0 << "left,,16777234";
        QTest::newRow("up") << int(Qt::Key_Up) << "" << 0 << "up,,16777235";
        QTest::newRow("right") << int(Qt::Key_Right) << "" << 0 << "right,,16777236";
        QTest::newRow("down") << int(Qt::Key_Down) << "" << 0 << "down,,16777237";
        QTest::newRow("a") << int(Qt::Key_A) << "a" << 0 << "a,,65";
        QTest::newRow("shift+control a")
            << int(Qt::Key_A) << "A" << int(Qt::ShiftModifier | Qt::ControlModifier) << "A,cs,65";
        QTest::newRow("all three") << int(Qt::Key_A) << "A"
                                   << int(Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier) << "A,cas,65";
        QTest::newRow("alt") << int(Qt::Key_B) << "b" << int(Qt::AltModifier) << "b,a,66";
        QTest::newRow("key without text") << int(Qt::Key_F1) << "" << 0 << ",,16777264";
        QTest::newRow("text outside ascii") << int(Qt::Key_Eacute) << QString::fromUtf8("é") << 0
                                            << QString::fromLocal8Bit(QString::fromUtf8("é").toLocal8Bit()) + ",,201";
        QTest::newRow("escape with control")
            << int(Qt::Key_Escape) << "\x1b" << int(Qt::ControlModifier) << "escape,c,16777216";
    }

    void keyNamesAndModifierLetters()
    {
        QFETCH(int, key);
        QFETCH(QString, text);
        QFETCH(int, modifiers);
        QFETCH(QString, expected);
        Probe *p = probe("p");
        clearLog(*fx);
        lastDebug.clear();
        QtMessageHandler previous = qInstallMessageHandler(keepDebug);
        QKeyEvent press(QEvent::KeyPress, key, Qt::KeyboardModifiers(modifiers), text);
        QApplication::sendEvent(p, &press);
        QKeyEvent release(QEvent::KeyRelease, key, Qt::KeyboardModifiers(modifiers), text);
        QApplication::sendEvent(p, &release);
        qInstallMessageHandler(previous);
        QCOMPARE(log(), QStringList({"p,onKeyPress," + expected}));
        QVERIFY2(lastDebug.startsWith("QtObjectTracker::eventFilter::KeyPress "), qPrintable(lastDebug));
        QVERIFY2(lastDebug.endsWith(QString(" %1").arg(key)), qPrintable(lastDebug));
    }

    void consumedKeyPressStillReachesWidget()
    {
        auto *e = scriptWidget<QLineEdit>("e", "QLineEdit");
        QVERIFY(e);
        run("answer.onKeyPress = true");
        clearLog(*fx);
        QTest::keyClick(e, Qt::Key_A);
        QKeyEvent shiftB(QEvent::KeyPress, Qt::Key_B, Qt::ShiftModifier, "B");
        QApplication::sendEvent(e, &shiftB);
        QCOMPARE(e->text(), QString("aB"));
        QCOMPARE(log(), QStringList({"e,onKeyPress,a,,65", "e,onKeyPress,B,s,66"}));
    }

    // ---- geometry ------------------------------------------------------

    void moveAndResizeCarryTheNewGeometry()
    {
        scriptWidget("top");
        QWidget *c = scriptWidget("c", "Widget", "top");
        QVERIFY(c && c->isVisible());
        clearLog(*fx);
        QCOMPARE(run("c:setGeometry(5, 6, 50, 40)"), QString());
        QCOMPARE(log(), QStringList({"c,onMove,5,6", "c,onResize,50,40"}));
        clearLog(*fx);
        c->move(30, 41);
        c->resize(70, 61);
        QCOMPARE(log(), QStringList({"c,onMove,30,41", "c,onResize,70,61"}));
        clearLog(*fx);
        QCOMPARE(run("c:move()"), QString());
        QCOMPARE(log(), QStringList({"c,onMove,31,41"}));
    }

    void moveAndResizeLeaveTheStackAlone()
    {
        scriptWidget("top");
        QWidget *c = scriptWidget("c", "Widget", "top");
        lua_register(fx->L, "moveAndReportTop", moveAndReportTop);
        clearLog(*fx);
        QCOMPARE(fx->eval("moveAndReportTop(c, 'x', 'y')").toLongLong(), 3LL);
        QCOMPARE(log({"onMove", "onResize"}).size(), 2);

        lua_pushinteger(fx->L, 1);
        lua_pushinteger(fx->L, 2);
        c->move(1, 1);
        c->resize(20, 20);
        QCOMPARE(lua_gettop(fx->L), 2);
        lua_settop(fx->L, 0);
    }

    // ---- close ---------------------------------------------------------

    void closeRequestCanBeRefused()
    {
        QWidget *w = scriptWidget("w");
        run("answer.onClose = true");
        clearLog(*fx);
        QCOMPARE(run("w:close()"), QString());
        QVERIFY(w->isVisible());
        QVERIFY(!w->close());
        QVERIFY(w->isVisible());
        // The window's own close button goes through its platform window.
        QCloseEvent fromWindow;
        QApplication::sendEvent(w->windowHandle(), &fromWindow);
        QVERIFY(w->isVisible());
        QCOMPARE(log(), QStringList({"w,onClose", "w,onClose", "w,onClose"}));
    }

    void closeRequestAllowed_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::newRow("nothing") << QByteArray("nil");
        QTest::newRow("false") << QByteArray("false");
        QTest::newRow("zero") << QByteArray("0");
    }

    void closeRequestAllowed()
    {
        QFETCH(QByteArray, answer);
        QWidget *w = scriptWidget("w");
        run("answer.onClose = " + answer);
        clearLog(*fx);
        QCOMPARE(run("w:close()"), QString());
        QVERIFY(!w->isVisible());
        QCOMPARE(log(), QStringList({"w,onClose"}));
        // Closing hides; the widget and its handle live on.
        QCOMPARE(fx->eval("w:isVisible()").toBool(), false);
    }

    void closeFromInsideAScriptCallEmptiesItsStack()
    {
        scriptWidget("w");
        lua_register(fx->L, "closeAndReportTop", closeAndReportTop);
        run("answer.onClose = true");
        QCOMPARE(fx->eval("closeAndReportTop(w, 1, 2, 3)").toLongLong(), 0LL);
        run("answer.onClose = nil");
        QCOMPARE(fx->eval("closeAndReportTop(w, 1, 2, 3)").toLongLong(), 0LL);
    }

    void eventsOutsideTheTableLeaveTheStackAlone()
    {
        Probe *p = probe("p");
        lua_settop(fx->L, 0);
        lua_pushinteger(fx->L, 7);
        lua_pushinteger(fx->L, 8);
        p->hide();
        p->show();
        QVERIFY(QTest::qWaitForWindowExposed(p));
        p->update();
        QTest::qWait(1);
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_A, Qt::NoModifier, "a");
        QApplication::sendEvent(p, &release);
        QWheelEvent wheel(QPointF(5, 5), QPointF(p->mapToGlobal(QPoint(5, 5))), QPoint(), QPoint(0, 120), Qt::NoButton,
                          Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(p, &wheel);
        QFocusEvent focus(QEvent::FocusIn);
        QApplication::sendEvent(p, &focus);
        QCOMPARE(lua_gettop(fx->L), 2);
        QCOMPARE(lua_tointeger(fx->L, 2), lua_Integer(8));

        // Table rows reset it, even when they dispatch nothing.
        QTest::mousePress(p, Qt::MiddleButton, Qt::NoModifier, QPoint(5, 5));
        QCOMPARE(lua_gettop(fx->L), 0);
    }

    // ---- drag and drop -------------------------------------------------
    // Qt routes drag events to the widget that accepted the drag's entry, so
    // the sequences sent here are whole (entry, then leave or drop) and keep
    // Qt's drag bookkeeping clean between tests.

    void markedDragIsDispatchedAndAccepted()
    {
        QWidget *t = scriptWidget("t");
        t->setAcceptDrops(true);
        clearLog(*fx);
        QMimeData mime;
        mime.setData(kMarker, "dragdrop");

        QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction | Qt::MoveAction, &mime, Qt::LeftButton, Qt::NoModifier);
        enter.setDropAction(Qt::MoveAction);
        QApplication::sendEvent(t, &enter);
        QVERIFY(enter.isAccepted());
        QCOMPARE(enter.dropAction(), enter.proposedAction());

        QDragMoveEvent move(QPoint(6, 6), Qt::CopyAction | Qt::MoveAction, &mime, Qt::LeftButton, Qt::NoModifier);
        move.setDropAction(Qt::MoveAction);
        QApplication::sendEvent(t, &move);
        QVERIFY(move.isAccepted());
        QCOMPARE(move.dropAction(), move.proposedAction());

        QDragLeaveEvent leave;
        leave.ignore();
        QApplication::sendEvent(t, &leave);
        QVERIFY(leave.isAccepted());

        QCOMPARE(log(), QStringList({"t,onDragEnter", "t,onDragMove", "t,onDragLeave"}));
    }

    // Straight into the filter: Qt would not even deliver the later events
    // of a drag whose entry nobody accepted.
    void unmarkedDragIsLeftAlone_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<QByteArray>("payload");
        QTest::newRow("foreign format") << "text/plain" << QByteArray("dragdrop");
        QTest::newRow("marker format, other payload") << kMarker << QByteArray("other");
        QTest::newRow("marker format, longer payload") << kMarker << QByteArray("dragdrop!");
        QTest::newRow("format in other case") << "Application/vnd.lua.dragdrop" << QByteArray("dragdrop");
    }

    void unmarkedDragIsLeftAlone()
    {
        QFETCH(QString, format);
        QFETCH(QByteArray, payload);
        QWidget *t = scriptWidget("t");
        ObjectTracker *tracker = ObjectTracker::forObject(t);
        QVERIFY(tracker);
        clearLog(*fx);
        QMimeData mime;
        mime.setData(format, payload);

        lua_pushinteger(fx->L, 1);
        QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction | Qt::MoveAction, &mime, Qt::LeftButton, Qt::NoModifier);
        enter.setDropAction(Qt::MoveAction);
        QVERIFY(!tracker->eventFilter(t, &enter));
        QVERIFY(!enter.isAccepted());
        QCOMPARE(enter.dropAction(), Qt::MoveAction);
        QCOMPARE(lua_gettop(fx->L), 0); // reset although nothing was dispatched

        QDragMoveEvent move(QPoint(6, 6), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QVERIFY(!tracker->eventFilter(t, &move));
        QVERIFY(!move.isAccepted());

        QDropEvent drop(QPoint(6, 6), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QVERIFY(!tracker->eventFilter(t, &drop));
        QVERIFY(!drop.isAccepted());

        QDragLeaveEvent leave;
        leave.ignore();
        QVERIFY(!tracker->eventFilter(t, &leave));
        QVERIFY(leave.isAccepted());
        QCOMPARE(log(), QStringList({"t,onDragLeave"}));
    }

    // A line edit takes plain text drags itself: the script hears only that
    // the drag left.
    void foreignDragOverLineEditReportsOnlyTheLeave()
    {
        auto *e = scriptWidget<QLineEdit>("e", "QLineEdit");
        clearLog(*fx);
        QMimeData mime;
        mime.setText("hello");
        QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(e, &enter);
        QVERIFY(enter.isAccepted()); // by the line edit, not the script
        QDragMoveEvent move(QPoint(6, 6), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(e, &move);
        QDragLeaveEvent leave;
        QApplication::sendEvent(e, &leave);
        QCOMPARE(log(), QStringList({"e,onDragLeave"}));
    }

    void dropWithoutTrackedSourceIsLeftAlone()
    {
        QWidget *t = scriptWidget("t");
        t->setAcceptDrops(true);
        QMimeData mime;
        mime.setData(kMarker, "dragdrop");
        QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(t, &enter);
        QVERIFY(enter.isAccepted());
        clearLog(*fx);
        QDropEvent drop(QPoint(6, 6), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QVERIFY(!drop.source()); // no drag runs: nothing tracked can be its source
        QApplication::sendEvent(t, &drop);
        QVERIFY(!drop.isAccepted());
        QVERIFY(log().isEmpty());
    }

    void dragDropReturnsAndCleansUp()
    {
        // This platform ends drags at once; the call must still return
        // cleanly and leave no drag object behind.
        QWidget *src = scriptWidget("src");
        QCOMPARE(run("src:dragDrop() src:dragDrop('text/plain', 'x\\0y')"), QString());
        QVERIFY(!src->findChild<QDrag *>());
        QVERIFY(run("src:dragDrop({})").contains("bad argument #1 to 'dragDrop' (string expected, got table)"));
    }

    // A drop's source is the running drag's source, and this platform ends
    // drags at once: these run in a child on the minimal platform, whose drag
    // loop follows the pointer, and drop through Qt's own drag road.
    void scriptDragBetweenScriptWidgets_data()
    {
        QTest::addColumn<QString>("call");
        QTest::addColumn<QString>("targetClass");
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("marked drag drops")
            << "target:dragDrop()" << "Widget" << ""
            << QStringList({"msg dst onDragEnter", "msg dst onDragMove",
                            "driver: drop application/vnd.lua.dragdrop=dragdrop", "msg dst onDrop src"});
        QTest::newRow("explicit marker drops")
            << "target:dragDrop('application/vnd.lua.dragdrop', 'dragdrop')" << "Widget" << ""
            << QStringList({"msg dst onDragEnter", "msg dst onDrop src"});
        QTest::newRow("marked drag leaves")
            << "target:dragDrop()" << "Widget" << "leave"
            << QStringList({"msg dst onDragEnter", "msg dst onDragMove", "msg dst onDragLeave"});
        QTest::newRow("foreign payload") << "target:dragDrop('application/vnd.lua.dragdrop', 'other')"
                                         << "Widget" << "" << QStringList();
        QTest::newRow("foreign format") << "target:dragDrop('text/plain', 'hello')" << "Widget" << ""
                                        << QStringList();
        QTest::newRow("foreign text onto a line edit")
            << "target:dragDrop('text/plain', 'hello')" << "QLineEdit" << ""
            << QStringList({"driver: drop text/plain=hello", "text hello"});
    }

    void scriptDragBetweenScriptWidgets()
    {
        QFETCH(QString, call);
        QFETCH(QString, targetClass);
        QFETCH(QString, mode);
        QFETCH(QStringList, expected);
        const QString script =
            QString("names = {}\n"
                    "function MsgHandler(obj, msg, a)\n"
                    "  if msg == 'onPaint' or msg == 'onMove' or msg == 'onResize' then return end\n"
                    "  print('msg ' .. (names[obj] or '?') .. ' ' .. msg .. (a and ' ' .. (names[a] or '?') or ''))\n"
                    "end\n"
                    "target = qt.Widget.create()\n"
                    "target:setGeometry(0, 0, 100, 40)\n"
                    "target:show()\n"
                    "dropTarget = qt.%1.create()\n"
                    "dropTarget:setGeometry(200, 0, 80, 60)\n"
                    "dropTarget:setAcceptDrops()\n"
                    "dropTarget:show()\n"
                    "names[target], names[dropTarget] = 'src', 'dst'\n")
                .arg(targetClass);
        const QString after = targetClass == "QLineEdit" ? "; print('text ' .. dropTarget:text())" : "";
        QProcessEnvironment env = childEnvironment();
        env.insert("QT_QPA_PLATFORM", "minimal");
        QStringList args = {script, "drag", call + after};
        if (!mode.isEmpty())
            args << mode;
        const Run r = runProcess(driverBinary("widgets_driver"), args, QString(), 30000, env);
        QVERIFY2(r.finished, r.out.constData());
        QCOMPARE(r.status, 0);
        const QStringList out = lines(r.out);
        // The image of a 100 by 40 source is held at its middle, three quarters down.
        QVERIFY2(lineIndex(out, "driver: drag image 100x40 hot spot 50,30") >= 0, r.out.constData());
        int at = 0;
        for (const QString &line : expected) {
            at = lineIndex(out, line, at);
            QVERIFY2(at >= 0, qPrintable(line + " missing in:\n" + r.outText()));
        }
        const QStringList scriptLines = out.filter(QRegularExpression("^msg "));
        for (const QString &line : scriptLines)
            QVERIFY2(expected.contains(line) || line == "msg dst onDragMove", qPrintable(line + " unexpected"));
        QVERIFY(lineIndex(out, "driver: survived") >= 0);
    }

    // ---- fatal script errors ------------------------------------------

    void fatalHandlerErrorsEndTheProcess_data()
    {
        QTest::addColumn<QString>("cls");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("action");
        QTest::newRow("onClick") << "PushButton" << "onClick" << "click";
        QTest::newRow("onClose") << "Widget" << "onClose" << "close";
    }

    void fatalHandlerErrorsEndTheProcess()
    {
        QFETCH(QString, cls);
        QFETCH(QString, message);
        QFETCH(QString, action);
        const QString script = QString("function MsgHandler(obj, msg)\n"
                                       "  if msg == '%2' then error('handler broke on ' .. msg) end\n"
                                       "end\n"
                                       "target = qt.%1.create()\ntarget:setGeometry(0, 0, 60, 40)\ntarget:show()\n")
                                   .arg(cls, message);
        const Run r = runProcess(driverBinary("widgets_driver"), {script, action});
        QVERIFY2(r.finished, r.out.constData());
        QCOMPARE(r.status, 1);
        const QStringList out = lines(r.out);
        const int error = lineIndex(out, "Error: Call failed");
        QVERIFY2(error >= 0, r.out.constData());
        QVERIFY(lineIndex(out, "handler broke on " + message, error) > error);
        QVERIFY(!r.out.contains("driver: survived"));
    }

    void nonFatalHandlerErrorLetsTheProcessGoOn()
    {
        const QString script = "function MsgHandler(obj, msg)\n"
                               "  if msg == 'onTouchPress' then error('press broke') end\n"
                               "  if msg == 'onClick' then print('clicked') end\n"
                               "end\n"
                               "target = qt.PushButton.create()\ntarget:setGeometry(0, 0, 60, 40)\ntarget:show()\n";
        const Run r = runProcess(driverBinary("widgets_driver"), {script, "click"});
        QVERIFY2(r.finished, r.out.constData());
        QCOMPARE(r.status, 0);
        const QStringList out = lines(r.out);
        const int reported = lineIndex(out, "Error: LuaMsgHandler");
        QVERIFY2(reported >= 0, r.out.constData());
        QVERIFY(lineIndex(out, "clicked", reported) > reported);
        QVERIFY(lineIndex(out, "driver: survived") > reported);
    }
};

QTEST_MAIN(Events)
#include "events.moc"
