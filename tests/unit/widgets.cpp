// The widget script classes: QWidget's methods as scripts use them, Widget,
// PushButton, QDialog, QLineEdit, QPlainTextEdit and Desktop.
#include "luafixture.h"
#include "luax.h"
#include "msglog.h"
#include "testsupport.h"
#include "tracker.h"
#include "widgets/dragsource.h"
#include "widgets/pushbutton.h"
#include "widgets/widget.h"
#include "widgets/widgettree.h"

#include <QApplication>
#include <QDesktopWidget>
#include <QDialog>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QPlainTextEdit>
#include <QPointer>
#include <QRegion>
#include <QScreen>
#include <QTimer>
#include <QtTest>

#include <memory>

using namespace testsupport;

class Widgets : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<LuaFixture> fx;
    testsupport::WindowBaseline baseline;

    QString run(const QByteArray &code) { return fx->run(code); }
    QVariant eval(const QByteArray &expression) { return fx->eval(expression); }
    QByteArray str(const QByteArray &expression) { return fx->eval(expression).toByteArray(); }
    QStringList log(std::initializer_list<const char *> only = {}) { return logged(*fx, only); }

    template <class T = QWidget>
    T *global(const char *name)
    {
        return globalObject<T>(*fx, name);
    }

    // Runs code that must succeed.
    void ok(const QByteArray &code)
    {
        const QString err = run(code);
        QVERIFY2(err.isEmpty(), qPrintable(err));
    }

private slots:
    void initTestCase()
    {
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
        fx.reset();
        baseline.deleteNew();
    }

    // ---- the default style sheet -----------------------------------------

    void hostBoxesFollowTheDarkTheme()
    {
        // The boxes the host shows (msgBox, chooseFile, "already running")
        // under the application style sheet the host installs.
        QFile css(sourcePath(QStringLiteral("resources/stylesheet.css")));
        QVERIFY(css.open(QFile::ReadOnly));
        qApp->setStyleSheet(QString::fromUtf8(css.readAll()));
        {
            QMessageBox box(QMessageBox::Information, QStringLiteral("Message Box"), QStringLiteral("The line reads"),
                            QMessageBox::Ok);
            box.resize(300, 120);
            const QImage face = box.grab().toImage();
            const QImage button = box.button(QMessageBox::Ok)->grab().toImage();
            QLabel *label = nullptr;
            for (QLabel *l : box.findChildren<QLabel *>())
                if (l->text() == QLatin1String("The line reads"))
                    label = l;
            QVERIFY(label);
            // Dark face, light text, a dark button: nothing black on slate.
            QVERIFY(face.pixelColor(2, 2).lightness() < 80);
            QVERIFY(label->palette().color(label->foregroundRole()).lightness() > 180);
            QVERIFY(button.pixelColor(3, button.height() / 2).lightness() < 120);
        }
        qApp->setStyleSheet(QString());
    }

    // ---- create ----------------------------------------------------------

    void createGivesTheClassOfTheNativeObject()
    {
        ok("top = qt.QWidget.create() w = qt.Widget.create(top) b = qt.PushButton.create(top)\n"
           "d = qt.QDialog.create(top) e = qt.QLineEdit.create(top) t = qt.QPlainTextEdit.create(top)");
        QCOMPARE(str("getmetatable(top).__classname"), QByteArray("Widget"));
        QCOMPARE(str("getmetatable(w).__classname"), QByteArray("Widget"));
        QCOMPARE(str("getmetatable(b).__classname"), QByteArray("PushButton"));
        QCOMPARE(str("getmetatable(d).__classname"), QByteArray("QDialog"));
        QCOMPARE(str("getmetatable(e).__classname"), QByteArray("QLineEdit"));
        QCOMPARE(str("getmetatable(t).__classname"), QByteArray("QPlainTextEdit"));
        QWidget *top = global("top");
        QVERIFY(qobject_cast<Widget *>(top));
        for (const char *name : {"w", "b", "d", "e", "t"})
            QCOMPARE(global(name)->parentWidget(), top);
        // Every one is tracked and filtered from the start.
        for (const char *name : {"top", "w", "b", "d", "e", "t"})
            QVERIFY(ObjectTracker::forObject(global(name)));
        QVERIFY(global<QDialog>("d")->testAttribute(Qt::WA_DeleteOnClose));
        QVERIFY(!global<QLineEdit>("e")->hasFrame());
        QVERIFY(global<QPlainTextEdit>("t")->frameShape() != QFrame::NoFrame);
        QVERIFY(global<QPushButton>("b")->text().isEmpty());
    }

    void createWithoutAWidgetGivesATopLevelWindow_data()
    {
        QTest::addColumn<QByteArray>("cls");
        QTest::addColumn<QByteArray>("argument");
        for (const char *cls : {"QWidget", "Widget", "PushButton", "QDialog", "QLineEdit", "QPlainTextEdit"}) {
            QTest::addRow("%s, painter", cls) << QByteArray(cls) << QByteArray("lcdCanvas");
            QTest::addRow("%s, number", cls) << QByteArray(cls) << QByteArray("5");
            QTest::addRow("%s, nil", cls) << QByteArray(cls) << QByteArray("nil");
            QTest::addRow("%s, font", cls) << QByteArray(cls) << QByteArray("qt.QFont.create()");
            QTest::addRow("%s, deleted widget", cls) << QByteArray(cls) << QByteArray("gone");
        }
    }

    void createWithoutAWidgetGivesATopLevelWindow()
    {
        QFETCH(QByteArray, cls);
        QFETCH(QByteArray, argument);
        ok("gone = qt.Widget.create()");
        delete global("gone");
        QCOMPARE(str("type(lcdCanvas)"), QByteArray("userdata"));
        ok("x = qt." + cls + ".create(" + argument + ")");
        QWidget *x = global("x");
        QVERIFY(x);
        QVERIFY(!x->parentWidget());
        QVERIFY(x->isWindow());
    }

    // ---- geometry and window modes ----------------------------------------

    void geometryRoundTrip()
    {
        ok("top = qt.Widget.create() c = qt.Widget.create(top)\n"
           "c:setGeometry(10, 20, 300, 200) x, y, w, h = c:geometry()");
        QCOMPARE(str("table.concat({x, y, w, h}, ',')"), QByteArray("10,20,300,200"));
        QCOMPARE(global("c")->geometry(), QRect(10, 20, 300, 200));
        QCOMPARE(eval("math.type(x)").toByteArray(), QByteArray("integer"));

        // Numbers are truncated toward zero.
        ok("c:setGeometry(10.9, -20.9, 300.5, 200.99) x, y, w, h = c:geometry()");
        QCOMPARE(str("table.concat({x, y, w, h}, ',')"), QByteArray("10,-20,300,200"));

        // A top-level window reads back what it was given as well.
        ok("top:setGeometry(40, 50, 160, 120) top:show() x, y, w, h = top:geometry()");
        QVERIFY(QTest::qWaitForWindowExposed(global("top")));
        QCOMPARE(str("table.concat({x, y, w, h}, ',')"), QByteArray("40,50,160,120"));

        QVERIFY(run("c:setGeometry(1, 2, 3)").contains("bad argument #4 to 'setGeometry' (number expected, got no value)"));
        QVERIFY(run("c:setGeometry(1, 'a', 3, 4)").contains("bad argument #2 to 'setGeometry' (number expected, got string)"));
    }

    void moveShiftsOnePixelRight()
    {
        ok("top = qt.Widget.create() c = qt.Widget.create(top) c:setGeometry(5, 5, 10, 10)\n"
           "c:move() c:move(100, 100)");
        QCOMPARE(global("c")->pos(), QPoint(7, 5));
    }

    void showModes()
    {
        ok("w = qt.Widget.create() w:setGeometry(10, 10, 100, 80) w:show('fullscreen')");
        QWidget *w = global("w");
        QVERIFY(w->isFullScreen());
        QCOMPARE(eval("w:isFullScreen()").toBool(), true);
        ok("w:show('normal')");
        QVERIFY(!w->isFullScreen());
        QCOMPARE(eval("w:isFullScreen()").toBool(), false);
        // Any other word is a plain show: neither maximized nor full screen.
        ok("w:hide() w:show('maximized')");
        QVERIFY(w->isVisible());
        QVERIFY(!w->isMaximized());
        QCOMPARE(eval("w:isMaximized()").toBool(), false);
        ok("w:setMaximized()");
        QVERIFY(w->isMaximized());
        QCOMPARE(eval("w:isMaximized()").toBool(), true);
        ok("w:show('normal')");
        QVERIFY(!w->isMaximized());
        QVERIFY(run("w:show({})").contains("bad argument #1 to 'show' (string expected, got table)"));
    }

    void showActivatesTopLevelWindowsOnly()
    {
        ok("w = qt.Widget.create() w:setGeometry(10, 10, 100, 80) w:show()");
        QTRY_COMPARE(QApplication::activeWindow(), global("w"));
        ok("w2 = qt.Widget.create() w2:setGeometry(200, 10, 100, 80) w2:show()");
        QTRY_COMPARE(QApplication::activeWindow(), global("w2"));
        // A child's show leaves the active window alone.
        ok("c = qt.Widget.create(w) c:show()");
        QTest::qWait(20);
        QCOMPARE(QApplication::activeWindow(), global("w2"));
    }

    void hideAndVisibility()
    {
        ok("w = qt.Widget.create() w:show()");
        QCOMPARE(eval("w:isVisible()").toBool(), true);
        ok("w:hide()");
        QCOMPARE(eval("w:isVisible()").toBool(), false);
        QVERIFY(global("w")); // hiding never deletes
    }

    // ---- flag arguments ---------------------------------------------------

    void flagArguments_data()
    {
        QTest::addColumn<QByteArray>("args");
        QTest::addColumn<bool>("expected");
        QTest::newRow("absent") << QByteArray("") << true;
        QTest::newRow("nil") << QByteArray("nil") << false;
        QTest::newRow("false") << QByteArray("false") << false;
        QTest::newRow("true") << QByteArray("true") << true;
        QTest::newRow("zero is true") << QByteArray("0") << true;
        QTest::newRow("string") << QByteArray("'no'") << true;
    }

    void flagArguments()
    {
        QFETCH(QByteArray, args);
        QFETCH(bool, expected);
        ok("top = qt.Widget.create() w = qt.Widget.create(top) top:show()");
        QWidget *w = global("w");
        // Start from the opposite state so each call has something to change.
        w->setEnabled(!expected);
        w->setVisible(!expected);
        w->setFocusPolicy(expected ? Qt::NoFocus : Qt::StrongFocus);
        w->setAcceptDrops(!expected);
        ok("w:setEnabled(" + args + ") w:setVisible(" + args + ") w:setCanFocus(" + args + ") w:setAcceptDrops("
           + args + ")");
        QCOMPARE(w->isEnabled(), expected);
        QCOMPARE(eval("w:isEnabled()").toBool(), expected);
        QCOMPARE(w->isVisible(), expected);
        QCOMPARE(eval("w:isVisible()").toBool(), expected);
        QCOMPARE(w->focusPolicy(), expected ? Qt::StrongFocus : Qt::NoFocus);
        QCOMPARE(w->acceptDrops(), expected);
    }

    void setFrameFixesTheMaskAtTheSizeOfTheMoment()
    {
        ok("w = qt.Widget.create() w:setGeometry(0, 0, 50, 30) w:setFrame(false)");
        QWidget *w = global("w");
        QCOMPARE(w->mask(), QRegion(0, 0, 50, 30));
        w->resize(80, 60);
        QCOMPARE(w->mask(), QRegion(0, 0, 50, 30));
        ok("w:setFrame(nil)");
        QCOMPARE(w->mask(), QRegion(0, 0, 80, 60));
        ok("w:setFrame()");
        QVERIFY(w->mask().isEmpty());
        ok("w:setFrame(false) w:setFrame(true)");
        QVERIFY(w->mask().isEmpty());
    }

    void stateNamesDisabled()
    {
        ok("w = qt.Widget.create()");
        QCOMPARE(str("w:state()"), QByteArray(""));
        ok("w:setEnabled(false)");
        QCOMPARE(str("w:state()"), QByteArray("disabled"));
        // A widget inside a disabled parent is disabled too.
        ok("w:setEnabled(true) top = qt.Widget.create() w:setParent(top) top:setEnabled(false)");
        QCOMPARE(str("w:state()"), QByteArray("disabled"));
    }

    // ---- parents ----------------------------------------------------------

    void setParent()
    {
        ok("a = qt.Widget.create() b = qt.Widget.create() c = qt.Widget.create()");
        ok("c:setParent(b)");
        QCOMPARE(global("c")->parentWidget(), global("b"));
        ok("b:setParent(a)");
        QCOMPARE(global("b")->parentWidget(), global("a"));
        ok("c:setParent(nil)");
        QVERIFY(!global("c")->parentWidget());
        ok("c:setParent(b) c:setParent()");
        QVERIFY(!global("c")->parentWidget());
    }

    void setParentErrors_data()
    {
        QTest::addColumn<QByteArray>("code");
        QTest::addColumn<QString>("error");
        QTest::newRow("painter") << QByteArray("a:setParent(lcdCanvas)")
                                 << "bad argument #1 to 'setParent' (QWidget expected, got userdata)";
        QTest::newRow("number") << QByteArray("a:setParent(5)")
                                << "bad argument #1 to 'setParent' (QWidget expected, got number)";
        QTest::newRow("false") << QByteArray("a:setParent(false)")
                               << "bad argument #1 to 'setParent' (QWidget expected, got boolean)";
        QTest::newRow("deleted") << QByteArray("a:setParent(gone)")
                                 << "bad argument #1 to 'setParent' (attempting to access deleted QWidget)";
        QTest::newRow("itself") << QByteArray("a:setParent(a)")
                                << "bad argument #1 to 'setParent' (would make a widget its own ancestor)";
        QTest::newRow("its child") << QByteArray("a:setParent(b)")
                                   << "bad argument #1 to 'setParent' (would make a widget its own ancestor)";
        QTest::newRow("its grandchild") << QByteArray("a:setParent(c)")
                                        << "bad argument #1 to 'setParent' (would make a widget its own ancestor)";
        QTest::newRow("dead handle") << QByteArray("gone:setParent(a)")
                                     << "calling 'setParent' on bad self (attempting to access deleted QWidget)";
    }

    void setParentErrors()
    {
        QFETCH(QByteArray, code);
        QFETCH(QString, error);
        ok("a = qt.Widget.create() b = qt.Widget.create(a) c = qt.Widget.create(b) gone = qt.Widget.create()");
        delete global("gone");
        QWidget *a = global("a");
        QWidget *b = global("b");
        const QString actual = run(code);
        QVERIFY2(actual.contains(error), qPrintable(actual));
        // Nothing changed.
        QVERIFY(!a->parentWidget());
        QCOMPARE(b->parentWidget(), a);
        QCOMPARE(global("c")->parentWidget(), b);
    }

    void cycleCheckForOtherCallers()
    {
        QWidget a;
        auto *b = new QWidget(&a);
        auto *c = new QWidget(b);
        QWidget other;
        QVERIFY(orvane::wouldCreateCycle(&a, &a));
        QVERIFY(orvane::wouldCreateCycle(&a, b));
        QVERIFY(orvane::wouldCreateCycle(&a, c));
        QVERIFY(orvane::wouldCreateCycle(b, c));
        QVERIFY(!orvane::wouldCreateCycle(c, &a));
        QVERIFY(!orvane::wouldCreateCycle(c, b)); // already its parent: no loop
        QVERIFY(!orvane::wouldCreateCycle(&a, &other));
        QVERIFY(!orvane::wouldCreateCycle(&a, nullptr));
        QVERIFY(!orvane::wouldCreateCycle(nullptr, &a));
    }

    // ---- the rest of QWidget ----------------------------------------------

    void simpleSetters()
    {
        ok("w = qt.Widget.create() w:setTitle('Título') w:setStyleSheet('QWidget { color: red; }')\n"
           "f = qt.QFont.create() w:setFont(f)");
        QWidget *w = global("w");
        QCOMPARE(w->windowTitle(), QString::fromUtf8("Título"));
        QCOMPARE(w->styleSheet(), QString("QWidget { color: red; }"));
        QCOMPARE(w->font().family(), QString("Courier New"));
        QCOMPARE(eval("w:hasTouchFocus()").toBool(), false);
        QCOMPARE(str("type(w:hasTouchFocus())"), QByteArray("boolean"));
        QVERIFY(run("w:setFont(w)").contains("bad argument #1 to 'setFont' (QFont expected, got userdata)"));
        QVERIFY(run("w:setTitle()").contains("bad argument #1 to 'setTitle' (string expected, got no value)"));
        QVERIFY(run("w:setStyleSheet(nil)").contains("bad argument #1 to 'setStyleSheet'"));
    }

    void repolishAppliesPropertyRules()
    {
        ok("w = qt.Widget.create()\n"
           "w:setStyleSheet('QWidget { background-color: blue; } QWidget[alarm=\"1\"] { background-color: red; }')\n"
           "w:setGeometry(0, 0, 40, 40) w:show()");
        QWidget *w = global("w");
        QVERIFY(QTest::qWaitForWindowExposed(w));
        QCOMPARE(w->palette().color(QPalette::Window), QColor(Qt::blue));
        ok("w:setProperty('alarm', 1)");
        QCOMPARE(w->palette().color(QPalette::Window), QColor(Qt::blue)); // not yet
        ok("w:repolish()");
        QCOMPARE(w->palette().color(QPalette::Window), QColor(Qt::red));
    }

    void globalPos()
    {
        ok("top = qt.Widget.create() top:setGeometry(100, 50, 200, 200) c = qt.Widget.create(top)\n"
           "c:setGeometry(10, 20, 50, 50) top:show()");
        QVERIFY(QTest::qWaitForWindowExposed(global("top")));
        QWidget *c = global("c");
        ok("x, y = c:globalPos(1.9, 2.9) x0, y0 = c:globalPos()");
        const QPoint p = c->mapToGlobal(QPoint(1, 2));
        QCOMPARE(eval("x").toLongLong(), qlonglong(p.x()));
        QCOMPARE(eval("y").toLongLong(), qlonglong(p.y()));
        const QPoint origin = c->mapToGlobal(QPoint(0, 0));
        QCOMPARE(eval("x0").toLongLong(), qlonglong(origin.x()));
        QCOMPARE(eval("y0").toLongLong(), qlonglong(origin.y()));
    }

    void setFloatingMakesAToolWindow()
    {
        ok("w = qt.Widget.create() w:setFloating()");
        QWidget *w = global("w");
        // Qt adds title and button hints of its own; the type and the
        // stay-on-top hint are ours.
        QCOMPARE(w->windowFlags() & Qt::WindowType_Mask, Qt::Tool);
        QVERIFY(w->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
        QVERIFY(!w->autoFillBackground());
    }

    void setFocus()
    {
        ok("w = qt.Widget.create() w:setGeometry(0, 0, 100, 40) e = qt.QLineEdit.create(w) w:show()");
        QVERIFY(QTest::qWaitForWindowActive(global("w")));
        ok("e:setFocus()");
        QTRY_VERIFY(global("e")->hasFocus());
    }

    void drawSchedulesAPaint()
    {
        ok("painted = 0 answer.onPaint = function(w) if w == v then painted = painted + 1 end end\n"
           "v = qt.Widget.create() v:setGeometry(0, 0, 40, 40) v:show()");
        QVERIFY(QTest::qWaitForWindowExposed(global("v")));
        QTRY_VERIFY(eval("painted").toLongLong() > 0);
        ok("painted = 0 v:draw()");
        QTRY_VERIFY(eval("painted").toLongLong() > 0);
        ok("painted = 0 v:update()");
        QTRY_VERIFY(eval("painted").toLongLong() > 0);
    }

    void paintOutlivesTheInterpreter()
    {
        // After the interpreter is gone a script widget paints nothing and
        // reaches no freed state.
        ok("v = qt.Widget.create() v:setGeometry(0, 0, 40, 40) v:show() b = qt.PushButton.create(v) b:show()");
        QPointer<QWidget> v = global("v");
        QPointer<QWidget> b = global("b");
        fx->close();
        QVERIFY(!ObjectTracker::forObject(v));
        v->repaint();
        b->repaint();
        QVERIFY(v && b);
    }

    void msgBoxPrintsTheStackTopAroundTheBox()
    {
        ok("w = qt.Widget.create()");
        StdoutCapture out;
        ok("w:msgBox('hello there')");
        const QStringList out2 = out.text().split('\n');
        const int start = out2.indexOf("lwidget_msgBox start - top:2");
        const int box = out2.indexOf("Box: Message Box: hello there");
        const int end = out2.indexOf("lwidget_msgBox end - top:2");
        QVERIFY2(start >= 0 && box > start && end > box, qPrintable(out2.join('\n')));
        QVERIFY(run("w:msgBox()").contains("bad argument #1 to 'msgBox' (string expected, got no value)"));
    }

    void msgBoxStackIsEmptiedByACloseDuringTheBox()
    {
        ok("w = qt.Widget.create() other = qt.Widget.create() other:show() names[other] = 'other'");
        QPointer<QWidget> other = global("other");
        QTimer::singleShot(0, other, [other] { other->close(); });
        StdoutCapture out;
        ok("w:msgBox('closing')");
        const QString text = out.text();
        QVERIFY2(text.contains("lwidget_msgBox start - top:2\n"), qPrintable(text));
        QVERIFY2(text.contains("lwidget_msgBox end - top:0\n"), qPrintable(text));
        QCOMPARE(log({"onClose"}), QStringList({"other,onClose"}));
    }

    void msgBoxOwnerDestroyedDuringTheBox()
    {
        // The handler of an event during the box may destroy the owner.
        ok("w = qt.Widget.create() w:show() answer.onClose = function(obj) obj:destroy() end");
        QPointer<QWidget> w = global("w");
        QTimer::singleShot(0, w, [w] { w->close(); });
        StdoutCapture out;
        ok("w:msgBox('going')");
        QVERIFY(out.text().contains("lwidget_msgBox end - top:0\n"));
        QTRY_VERIFY(!w);
        QVERIFY(run("w:show()").contains("attempting to access deleted QWidget"));
    }

    void dragImageAndHotSpot()
    {
        QCOMPARE(orvane::dragHotSpot(QSize(100, 40)), QPoint(50, 30));
        QCOMPARE(orvane::dragHotSpot(QSize(101, 41)), QPoint(50, 30));
        QCOMPARE(orvane::dragHotSpot(QSize(1, 1)), QPoint(0, 0));

        QWidget source;
        source.resize(100, 40);
        source.setAutoFillBackground(true);
        QPalette pal = source.palette();
        pal.setColor(QPalette::Window, Qt::red);
        source.setPalette(pal);
        const QImage image = orvane::dragPixmap(&source).toImage().convertToFormat(QImage::Format_ARGB32);
        QCOMPARE(image.size(), QSize(100, 40));
        const QColor c = image.pixelColor(50, 20);
        QVERIFY2(qAbs(c.alpha() - 191) <= 2, qPrintable(QString::number(c.alpha())));
        QCOMPARE(c.red(), 255);
        QCOMPARE(c.green(), 0);
    }

    void methodsOnDeletedWidgets()
    {
        ok("w = qt.Widget.create()");
        delete global("w");
        for (const char *call : {"w:geometry()", "w:show()", "w:move()", "w:state()", "w:setEnabled()"})
            QVERIFY2(run(call).contains("attempting to access deleted QWidget"), call);
        QVERIFY(run("qt.QWidget.hide(lcdCanvas)").contains("bad argument #1 to 'hide' (QWidget expected, got userdata)"));
    }

    // ---- PushButton --------------------------------------------------------

    void pushButtonState()
    {
        ok("b = qt.PushButton.create()");
        auto *b = global<QPushButton>("b");
        QCOMPARE(str("b:state()"), QByteArray(""));
        b->setDown(true);
        QCOMPARE(str("b:state()"), QByteArray("down"));
        // Qt releases a button it disables; held down again, disabled wins.
        ok("b:setEnabled(false)");
        b->setDown(true);
        QVERIFY(b->isDown());
        QCOMPARE(str("b:state()"), QByteArray("disabled"));
        ok("b:setEnabled(true)");
        b->setDown(false);
        QCOMPARE(str("b:state()"), QByteArray(""));
        QVERIFY(run("qt.PushButton.state(qt.Widget.create())")
                    .contains("bad argument #1 to 'state' (PushButton expected, got userdata)"));
    }

    void pushButtonClicks()
    {
        // A parentless button is its own window and still clicks.
        ok("b = qt.PushButton.create() names[b] = 'b' b:setGeometry(0, 0, 60, 30) b:show()");
        auto *b = global<PushButton>("b");
        QVERIFY(QTest::qWaitForWindowExposed(b));
        QVERIFY(b->isWindow());
        clearLog(*fx);
        QTest::mouseClick(b, Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
        QTest::mouseClick(b, Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
        QCOMPARE(log({"onClick"}), QStringList({"b,onClick", "b,onClick"}));
        // The click's answer is ignored; a disabled button does not click.
        ok("answer.onClick = true b:setEnabled(false)");
        clearLog(*fx);
        QTest::mouseClick(b, Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
        QVERIFY(log({"onClick"}).isEmpty());
    }

    void pushButtonDrawsOnlyWhatTheScriptDraws()
    {
        ok("painted = 0 answer.onPaint = function(w) if w == b then painted = painted + 1 end end\n"
           "b = qt.PushButton.create() b:setGeometry(0, 0, 60, 30) b:show()");
        QVERIFY(QTest::qWaitForWindowExposed(global("b")));
        QTRY_VERIFY(eval("painted").toLongLong() > 0);
    }

    void buttonDestroyedInItsOwnClickHandler()
    {
        ok("top = qt.Widget.create() top:setGeometry(0, 0, 100, 100) b = qt.PushButton.create(top)\n"
           "b:setGeometry(0, 0, 60, 30) top:show() names[b] = 'b'\n"
           "answer.onClick = function(obj) obj:destroy() end");
        QPointer<QWidget> b = global("b");
        QVERIFY(QTest::qWaitForWindowExposed(global("top")));
        QTest::mouseClick(b, Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
        QTRY_VERIFY(!b);
        QCOMPARE(log({"onClick"}), QStringList({"b,onClick"}));
    }

    // ---- QDialog -----------------------------------------------------------

    void dialogExecReturnsTheDoneCode_data()
    {
        QTest::addColumn<QByteArray>("finish");
        QTest::addColumn<qlonglong>("expected");
        QTest::newRow("done 1") << QByteArray("d:done(1)") << 1LL;
        QTest::newRow("done 7.0") << QByteArray("d:done(7.0)") << 7LL;
        QTest::newRow("done '5'") << QByteArray("d:done('5')") << 5LL;
        QTest::newRow("done without code") << QByteArray("d:done()") << 0LL;
        QTest::newRow("close") << QByteArray("d:close()") << 0LL;
    }

    void dialogExecReturnsTheDoneCode()
    {
        QFETCH(QByteArray, finish);
        QFETCH(qlonglong, expected);
        ok("top = qt.Widget.create() top:show() d = qt.QDialog.create(top) names[d] = 'd'");
        QPointer<QDialog> dialog = global<QDialog>("d");
        LuaFixture *f = fx.get();
        QString finishError = "not run";
        QTimer::singleShot(0, dialog, [f, finish, dialog, &finishError] {
            QVERIFY(dialog->isVisible());
            QVERIFY(dialog->isModal());
            finishError = f->run(finish);
        });
        ok("code = d:exec()");
        QCOMPARE(finishError, QString());
        QCOMPARE(eval("code").toLongLong(), expected);
        QCOMPARE(str("math.type(code)"), QByteArray("integer"));
        QVERIFY(!dialog); // deleted on close
        QVERIFY(run("d:exec()").contains("calling 'exec' on bad self (attempting to access deleted QDialog)"));
        QVERIFY(run("d:isVisible()").contains("attempting to access deleted QWidget"));
    }

    void dialogEscapeRejects()
    {
        ok("d = qt.QDialog.create() names[d] = 'd'");
        QPointer<QDialog> dialog = global<QDialog>("d");
        QTimer::singleShot(0, dialog, [dialog] { QTest::keyClick(dialog, Qt::Key_Escape); });
        ok("code = d:exec()");
        QCOMPARE(eval("code").toLongLong(), 0LL);
        QVERIFY(log({"onKeyPress"}).contains("d,onKeyPress,escape,,16777216"));
    }

    void dialogRefusingCloseKeepsRunning()
    {
        ok("d = qt.QDialog.create() answer.onClose = true");
        QPointer<QDialog> dialog = global<QDialog>("d");
        LuaFixture *f = fx.get();
        QTimer::singleShot(0, dialog, [f, dialog] {
            f->run("d:close()");
            QVERIFY(dialog && dialog->isVisible());
            f->run("d:done(3)");
        });
        ok("code = d:exec()");
        QCOMPARE(eval("code").toLongLong(), 3LL);
    }

    // Regression: a dialog run with exec from one of its own handlers is
    // deleted when exec returns. The handler then raised, and the dispatcher
    // read the deleted dialog's class name for its "LuaMsgHandler" line; and
    // Qt itself read the deleted receiver again after the event filter let
    // the press through.
    void dialogExecInItsOwnHandlerThenRaise()
    {
        ok("d = qt.QDialog.create()\n"
           "function MsgHandler(h, m)\n"
           "  if rawequal(h, d) and m == 'onTouchPress' then d:exec() error('after exec') end\n"
           "end");
        QPointer<QDialog> dialog = global<QDialog>("d");
        const void *address = dialog.data();
        LuaFixture *f = fx.get();
        QTimer::singleShot(0, dialog, [f] { f->run("d:done(1)"); });
        StdoutCapture out;
        QTest::mousePress(dialog, Qt::LeftButton, Qt::NoModifier, QPoint(2, 2));
        const QString text = out.text();
        QVERIFY(!dialog);
        char line[128];
        snprintf(line, sizeof line, "LuaMsgHandler onTouchPress %p QDialog\nError: LuaMsgHandler\n[", address);
        QVERIFY2(text.contains(QLatin1String(line)), qPrintable(text));
        QVERIFY2(text.contains("after exec"), qPrintable(text));
        QVERIFY(run("d:exec()").contains("attempting to access deleted QDialog"));
    }

    void dialogArgumentErrors()
    {
        ok("d = qt.QDialog.create() w = qt.Widget.create()");
        QVERIFY(run("d:done('x')").contains("bad argument #1 to 'done' (number expected, got string)"));
        // A result code is an integer: a fraction is refused, not cut.
        QVERIFY(run("d:done(2.5)").contains("bad argument #1 to 'done' (number has no integer representation)"));
        QVERIFY(run("d:done('-1.9')").contains("bad argument #1 to 'done' (number has no integer representation)"));
        QVERIFY(run("qt.QDialog.exec(w)").contains("bad argument #1 to 'exec' (QDialog expected, got userdata)"));
        QVERIFY(run("qt.QDialog.done(w, 1)").contains("bad argument #1 to 'done' (QDialog expected, got userdata)"));
    }

    // ---- QLineEdit ---------------------------------------------------------

    void lineEditAlignment_data()
    {
        QTest::addColumn<QByteArray>("argument");
        QTest::addColumn<int>("expected");
        QTest::newRow("center") << QByteArray("'center'") << int(Qt::AlignHCenter);
        QTest::newRow("c") << QByteArray("'c'") << int(Qt::AlignHCenter);
        QTest::newRow("centre") << QByteArray("'centre'") << int(Qt::AlignHCenter);
        QTest::newRow("right") << QByteArray("'right'") << int(Qt::AlignLeft);
        QTest::newRow("Center") << QByteArray("'Center'") << int(Qt::AlignLeft);
        QTest::newRow("absent") << QByteArray("") << int(Qt::AlignLeft);
        QTest::newRow("nil") << QByteArray("nil") << int(Qt::AlignLeft);
        QTest::newRow("empty") << QByteArray("''") << int(Qt::AlignLeft);
    }

    void lineEditAlignment()
    {
        QFETCH(QByteArray, argument);
        QFETCH(int, expected);
        ok("e = qt.QLineEdit.create()");
        auto *e = global<QLineEdit>("e");
        e->setAlignment(expected == int(Qt::AlignLeft) ? Qt::AlignRight : Qt::AlignLeft);
        ok("e:setAlignment(" + argument + ")");
        QCOMPARE(int(e->alignment() & Qt::AlignHorizontal_Mask), expected);
    }

    void lineEditText()
    {
        ok("e = qt.QLineEdit.create() e:setText('Grüße')");
        auto *e = global<QLineEdit>("e");
        QCOMPARE(e->text(), QString::fromUtf8("Grüße"));
        QCOMPARE(QString::fromLocal8Bit(str("e:text()")), QString::fromUtf8("Grüße"));
        ok("e:setText(42)");
        QCOMPARE(e->text(), QString("42"));
        ok("e:setText(nil)");
        QCOMPARE(e->text(), QString());
        ok("e:setText('x') e:setText()");
        QCOMPARE(str("e:text()"), QByteArray(""));
        ok("e:setText({})");
        QCOMPARE(e->text(), QString());
        ok("e:setText(1.5)");
        QCOMPARE(e->text(), QString("1.5"));
    }

    void lineEditMaxLengthLimitsWithoutTouchingTheText()
    {
        ok("e = qt.QLineEdit.create() e:setText('abc') e:setMaxLength(5)");
        auto *e = global<QLineEdit>("e");
        QCOMPARE(e->maxLength(), 5);
        QCOMPARE(e->text(), QString("abc"));
        ok("e:insert('defgh')");
        QCOMPARE(e->text(), QString("abcde"));
        ok("e:setMaxLength(7.9)");
        QCOMPARE(e->maxLength(), 7);
        QVERIFY(run("e:setMaxLength('x')").contains("bad argument #1 to 'setMaxLength' (number expected, got string)"));
        QVERIFY(run("e:setMaxLength()").contains("bad argument #1 to 'setMaxLength' (number expected, got no value)"));
    }

    void lineEditInputMask()
    {
        ok("e = qt.QLineEdit.create() e:setInputMask('99-99') e:setText('1234')");
        auto *e = global<QLineEdit>("e");
        QCOMPARE(e->inputMask(), QString("99-99"));
        QCOMPARE(e->text(), QString("12-34"));
        QVERIFY(run("e:setInputMask()").contains("bad argument #1 to 'setInputMask' (string expected, got no value)"));
    }

    void lineEditCursorMove()
    {
        ok("e = qt.QLineEdit.create() e:setText('abc')");
        auto *e = global<QLineEdit>("e");
        QCOMPARE(e->cursorPosition(), 3);
        {
            StdoutCapture out;
            ok("e:cursorMove(-100)");
            QCOMPARE(out.finish(), QByteArray("ltextedit_cursorMove -100 3"));
        }
        QCOMPARE(e->cursorPosition(), 0);
        ok("e:setText('0123456789') e:cursorMove(-10)");
        QCOMPARE(e->cursorPosition(), 0);
        {
            StdoutCapture out;
            ok("e:cursorMove(100) e:cursorMove(-2.0)");
            QCOMPARE(out.finish(), QByteArray("ltextedit_cursorMove 100 0ltextedit_cursorMove -2 10"));
        }
        QCOMPARE(e->cursorPosition(), 8);
        ok("e:cursorMove(2147483647)");
        QCOMPARE(e->cursorPosition(), 10);
        QVERIFY(run("e:cursorMove()").contains("bad argument #1 to 'cursorMove' (number expected, got no value)"));
        // A delta counts characters: a fraction is refused, not cut; a
        // numeric string still counts.
        for (const char *delta : {"2.5", "-1.9", "'0.5'"})
            QVERIFY(run(QByteArray("e:cursorMove(") + delta + ")")
                        .contains("bad argument #1 to 'cursorMove' (number has no integer representation)"));
        QCOMPARE(e->cursorPosition(), 10);
        ok("e:cursorMove('-3')");
        QCOMPARE(e->cursorPosition(), 7);
    }

    void lineEditEditing()
    {
        ok("e = qt.QLineEdit.create() e:setText('hello') e:cursorMove(-2)");
        auto *e = global<QLineEdit>("e");
        QCOMPARE(e->cursorPosition(), 3);
        ok("e:backspace()");
        QCOMPARE(e->text(), QString("helo"));
        ok("e:del()");
        QCOMPARE(e->text(), QString("heo"));
        ok("e:insert('p m') e:insert(7)");
        QCOMPARE(e->text(), QString("hep m7o"));
        ok("e:selectAll()");
        QCOMPARE(e->selectedText(), QString("hep m7o"));
        ok("e:insert('new')"); // replaces the selection
        QCOMPARE(e->text(), QString("new"));
        ok("e:insert()");
        QCOMPARE(e->text(), QString("new"));
        ok("e:selectAll() e:del()");
        QCOMPARE(e->text(), QString());
        QVERIFY(run("qt.QLineEdit.text(qt.Widget.create())")
                    .contains("bad argument #1 to 'text' (QLineEdit expected, got userdata)"));
    }

    // ---- QPlainTextEdit ----------------------------------------------------

    void plainTextEdit()
    {
        ok("t = qt.QPlainTextEdit.create() t:append('first') t:append(2) t:append() t:append('vierte Zeile ü')");
        auto *t = global<QPlainTextEdit>("t");
        QCOMPARE(t->toPlainText(), QString::fromUtf8("first\n2\n\nvierte Zeile ü"));
        QCOMPARE(QString::fromLocal8Bit(str("t:text()")), QString::fromUtf8("first\n2\n\nvierte Zeile ü"));
        ok("t:clear()");
        QCOMPARE(str("t:text()"), QByteArray(""));
        ok("t:append('again')");
        QCOMPARE(str("t:text()"), QByteArray("again"));
        QVERIFY(run("qt.QPlainTextEdit.clear(qt.QLineEdit.create())")
                    .contains("bad argument #1 to 'clear' (QPlainTextEdit expected, got userdata)"));
    }

    // ---- the demo's page ---------------------------------------------------

    void demoPageBuildsAndLogsItsMessages()
    {
        const QByteArray modules = QByteArray(ORVANE_SOURCE_DIR) + "/modules/?.lua";
        ok("package.path = '" + modules + ";' .. package.path\n"
           "page = require 'demo.widgets'\n"
           "function MsgHandler(obj, msg, ...)\n"
           "  if msg ~= 'onPaint' then return page.message(obj, msg, ...) end\n"
           "end\n"
           "top = qt.Widget.create() root = page.build(top)");
        QWidget *root = global("root");
        QVERIFY(root);
        QCOMPARE(root->parentWidget(), global("top"));
        QCOMPARE(root->findChildren<QPlainTextEdit *>().size(), 1);
        QCOMPARE(root->findChildren<QLineEdit *>().size(), 1);
        QCOMPARE(root->findChildren<PushButton *>().size(), 5);
        // The log listens from the page's first showing on, not before.
        ok("MsgHandler(nil, 'onStartup')");
        QCOMPARE(root->findChild<QPlainTextEdit *>()->toPlainText(), QString());
        ok("page.shown() MsgHandler(nil, 'onStartup')");
        QVERIFY(root->findChild<QPlainTextEdit *>()->toPlainText().contains("nil onStartup"));
    }

    // ---- Desktop -----------------------------------------------------------

    void desktopAvailableGeometry()
    {
        ok("x, y, w, h = qt.Desktop.availableGeometry('ignored', 3) n = select('#', qt.Desktop.availableGeometry())");
        QT_WARNING_PUSH
        QT_WARNING_DISABLE_DEPRECATED
        const QRect expected = QApplication::desktop()->availableGeometry(-1);
        QT_WARNING_POP
        QVERIFY(expected.isValid());
        QCOMPARE(eval("n").toLongLong(), 4LL);
        QCOMPARE(str("table.concat({x, y, w, h}, ',')"),
                 QString("%1,%2,%3,%4").arg(expected.x()).arg(expected.y()).arg(expected.width()).arg(expected.height())
                     .toLatin1());
        QCOMPARE(str("math.type(w)"), QByteArray("integer"));
    }
};

QTEST_MAIN(Widgets)
#include "widgets.moc"
