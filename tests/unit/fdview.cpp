// The screenplay view: document building by element kind, paragraph tags,
// the read-only mouse rule, and the reading position with its glides.
#include "fdview/fdview.h"
#include "internals.h"
#include "luafixture.h"
#include "luax.h"
#include "msglog.h"

#include <QApplication>
#include <QMouseEvent>
#include <QPointer>
#include <QPropertyAnimation>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextDocument>
#include <QtTest>

#include <memory>

using namespace testsupport;

namespace {

QStringList debugLines;
QtMessageHandler previousHandler = nullptr;

void keepDebug(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtDebugMsg)
        debugLines << message;
    else if (previousHandler)
        previousHandler(type, context, message);
}

// The character format of a paragraph's text (its first fragment).
QTextCharFormat textFormat(const QTextBlock &block)
{
    return block.begin().fragment().charFormat();
}

QString brushName(const QTextFormat &f, QTextFormat::Property p)
{
    return f.hasProperty(p) ? f.brushProperty(p).color().name() : QString();
}

// A parent that takes every mouse move that reaches it.
class MoveCatcher : public QWidget
{
public:
    int moves = 0;

protected:
    void mouseMoveEvent(QMouseEvent *event) override
    {
        ++moves;
        event->accept();
    }
};

} // namespace

class FDViewTest : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<LuaFixture> fx;
    QSet<QWidget *> baseline;

    QString run(const QByteArray &code) { return fx->run(code); }
    QVariant eval(const QByteArray &expression) { return fx->eval(expression); }

    void ok(const QByteArray &code)
    {
        const QString err = run(code);
        QVERIFY2(err.isEmpty(), qPrintable(err));
    }

    FDView *view(const char *name = "v")
    {
        lua_getglobal(fx->L, name);
        FDView *v = luaX_toqobject<FDView>(fx->L, -1, "FDView");
        lua_pop(fx->L, 1);
        return v;
    }

    QList<QTextBlock> blocks(FDView *v)
    {
        QList<QTextBlock> out;
        for (QTextBlock b = v->document()->begin(); b.isValid(); b = b.next())
            out << b;
        return out;
    }

    QList<int> tags(FDView *v)
    {
        QList<int> out;
        for (const QTextBlock &b : blocks(v))
            out << b.userState();
        return out;
    }

    // A shown 400x300 view, global `v`, holding far more text than fits.
    // Callers check QTest::currentTestFailed() afterwards.
    void makeLongView()
    {
        ok("v = qt.FDView.create() v:setGeometry(0, 0, 400, 300) v:show() v:clear()\n"
           "for i = 1, 300 do v:add('Line ' .. i .. ' of a screenplay long enough to scroll', 'Action', i) end");
        FDView *v = view();
        QVERIFY(v);
        QScrollBar *bar = v->verticalScrollBar();
        QTRY_VERIFY_WITH_TIMEOUT(bar->maximum() > 4 * bar->pageStep(), 5000);
    }

private slots:
    void initTestCase() { previousHandler = qInstallMessageHandler(keepDebug); }
    void cleanupTestCase() { qInstallMessageHandler(previousHandler); }

    void init()
    {
        const auto tops = QApplication::topLevelWidgets();
        baseline = QSet<QWidget *>(tops.begin(), tops.end());
        fx = std::make_unique<LuaFixture>();
        QCOMPARE(run(recordingHandler()), QString());
        debugLines.clear();
    }

    void cleanup()
    {
        fx.reset();
        QList<QPointer<QWidget>> windows;
        for (QWidget *w : QApplication::topLevelWidgets()) {
            if (!baseline.contains(w))
                windows << w;
        }
        for (const QPointer<QWidget> &w : qAsConst(windows))
            delete w.data();
    }

    // Class and construction ------------------------------------------------

    void createdViewIsAWidgetHandle()
    {
        ok("p = qt.Widget.create() v = qt.FDView.create(p) w = qt.FDView.create(qt.Timer.create()) n = qt.FDView.create()");
        QCOMPARE(eval("getmetatable(v).__classname").toByteArray(), QByteArray("FDView"));
        // Its handles answer the widget methods too.
        QCOMPARE(eval("type(v.setGeometry) == 'function' and type(v.destroy) == 'function'").toBool(), true);
        FDView *v = view();
        QVERIFY(v);
        lua_getglobal(fx->L, "p");
        QWidget *parent = luaX_toqobject<QWidget>(fx->L, -1, "QWidget");
        lua_pop(fx->L, 1);
        QCOMPARE(v->parentWidget(), parent);
        // Anything that is not a widget handle means no parent, quietly.
        QCOMPARE(view("w")->parentWidget(), nullptr);
        QCOMPARE(view("n")->parentWidget(), nullptr);
        QVERIFY(!v->isReadOnly());
        QCOMPARE(TestAccess::fontScale(v), 1.0);
        QCOMPARE(TestAccess::scrollAnimation(v)->targetObject(), v->verticalScrollBar());
        QCOMPARE(TestAccess::scrollAnimation(v)->propertyName(), QByteArray("value"));
        QCOMPARE(TestAccess::scrollAnimation(v)->easingCurve().type(), QEasingCurve::InOutCubic);
        QCOMPARE(TestAccess::scrollAnimation(v)->parent(), nullptr);
    }

    void wrongOrDeletedHandleRaises()
    {
        ok("w = qt.Widget.create() v = qt.FDView.create()");
        QVERIFY(run("qt.FDView.clear(w)").contains("FDView expected, got userdata"));
        QVERIFY(run("v:setFontScale('big')").contains("bad argument"));
        delete view();
        QVERIFY(run("v:add('x', 'Scene')").contains("attempting to access deleted FDView"));
        QVERIFY(run("v:position()").contains("attempting to access deleted FDView"));
    }

    // Document building ------------------------------------------------------

    void addBeforeClearDoesNothing()
    {
        ok("v = qt.FDView.create() v:add('FADE IN:', 'Scene', 3) v:pagebreak()");
        FDView *v = view();
        QCOMPARE(v->document()->blockCount(), 1);
        QCOMPARE(v->toPlainText(), QString());
        QCOMPARE(tags(v), QList<int>{-1});
    }

    void clearLeavesOneUntaggedParagraph()
    {
        ok("v = qt.FDView.create() v:clear() v:add('one', 'Scene', 4) v:add('two') v:clear()");
        FDView *v = view();
        QCOMPARE(v->document()->blockCount(), 1);
        QCOMPARE(v->toPlainText(), QString());
        QCOMPARE(tags(v), QList<int>{-1});
        ok("v:add('again', 'Action', 9)");
        QCOMPARE(tags(v), (QList<int>{-1, 9}));
        QCOMPARE(blocks(v).at(1).text(), QString("again"));
    }

    void kindFormats_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<double>("pointSize");
        QTest::addColumn<int>("weight");
        QTest::addColumn<double>("left");
        QTest::addColumn<double>("right");
        QTest::addColumn<int>("alignment"); // 0: not set
        QTest::addColumn<QString>("foreground");
        QTest::addColumn<QString>("background");
        QTest::newRow("Title") << "Title" << 22.0 << 75 << 0.0 << 0.0 << 0x84 << "" << "";
        QTest::newRow("Scene") << "Scene" << 10.0 << 75 << 0.0 << 0.0 << 0 << "" << "";
        QTest::newRow("Action") << "Action" << 10.0 << 50 << 20.0 << 20.0 << 0 << "#555555" << "";
        QTest::newRow("Character") << "Character" << 10.0 << 50 << 110.0 << 50.0 << 0 << "" << "#ff0000";
        QTest::newRow("Dialogue") << "Dialogue" << 10.0 << 50 << 70.0 << 70.0 << 0 << "" << "";
        QTest::newRow("Page") << "Page" << 8.0 << 50 << 0.0 << 40.0 << int(Qt::AlignRight) << "" << "";
        QTest::newRow("other kind") << "Transition" << 10.0 << 50 << 0.0 << 0.0 << 0 << "" << "";
        QTest::newRow("scene in lower case") << "scene" << 10.0 << 50 << 0.0 << 0.0 << 0 << "" << "";
        QTest::newRow("TITLE in upper case") << "TITLE" << 10.0 << 50 << 0.0 << 0.0 << 0 << "" << "";
    }

    void kindFormats()
    {
        QFETCH(QString, kind);
        QFETCH(double, pointSize);
        QFETCH(int, weight);
        QFETCH(double, left);
        QFETCH(double, right);
        QFETCH(int, alignment);
        QFETCH(QString, foreground);
        QFETCH(QString, background);
        // A Title first, so that nothing of it may leak into the kind under test.
        ok("v = qt.FDView.create() v:clear() v:add('Big', 'Title', 1) v:add('Some words', '" + kind.toUtf8() + "', 7)");
        FDView *v = view();
        const QList<QTextBlock> bs = blocks(v);
        QCOMPARE(bs.size(), 3);
        const QTextBlock b = bs.at(2);
        QCOMPARE(b.text(), QString("Some words"));
        QCOMPARE(b.userState(), 7);
        const QTextBlockFormat bf = b.blockFormat();
        QCOMPARE(bf.leftMargin(), left);
        QCOMPARE(bf.rightMargin(), right);
        QCOMPARE(bf.hasProperty(QTextFormat::BlockAlignment) ? bf.intProperty(QTextFormat::BlockAlignment) : 0,
                 alignment);
        // Both the paragraph's own character format and its text's.
        for (const QTextCharFormat &cf : {b.charFormat(), textFormat(b)}) {
            QCOMPARE(cf.fontFamily(), QString("Courier New"));
            QCOMPARE(cf.fontPointSize(), pointSize);
            QCOMPARE(cf.fontWeight(), weight);
            QCOMPARE(brushName(cf, QTextFormat::ForegroundBrush), foreground);
            QCOMPARE(brushName(cf, QTextFormat::BackgroundBrush), background);
            if (!background.isEmpty())
                QCOMPARE(cf.background().style(), Qt::SolidPattern);
        }
    }

    void fontScaleAppliesToLaterAddsOnly()
    {
        ok("v = qt.FDView.create() v:clear() v:add('before', 'Title')"
           " v:setFontScale(1.5) v:add('after', 'Title') v:add('page', 'Page')"
           " v:setFontScale(3) v:add('same page formats')");
        const QList<QTextBlock> bs = blocks(view());
        QCOMPARE(textFormat(bs.at(1)).fontPointSize(), 22.0);
        QCOMPARE(textFormat(bs.at(2)).fontPointSize(), 33.0);
        QCOMPARE(textFormat(bs.at(3)).fontPointSize(), 12.0);
        // No kind: the current formats are reused, not rebuilt at the new scale.
        QCOMPARE(textFormat(bs.at(4)).fontPointSize(), 12.0);
        QCOMPARE(TestAccess::fontScale(view()), 3.0);
    }

    void emptyKindReusesCurrentFormats()
    {
        ok("v = qt.FDView.create() v:clear() v:add('', 'Dialogue') v:add('Hello there.')");
        FDView *v = view();
        const QList<QTextBlock> bs = blocks(v);
        QCOMPARE(bs.size(), 3);
        QCOMPARE(bs.at(1).text(), QString());
        QCOMPARE(bs.at(1).userState(), -1);
        QCOMPARE(bs.at(1).blockFormat().leftMargin(), 70.0);
        QCOMPARE(bs.at(2).text(), QString("Hello there."));
        QCOMPARE(bs.at(2).blockFormat().leftMargin(), 70.0);
        QCOMPARE(bs.at(2).blockFormat().rightMargin(), 70.0);
        QCOMPARE(textFormat(bs.at(2)).fontFamily(), QString("Courier New"));
    }

    void currentFormatsSurviveClear()
    {
        ok("v = qt.FDView.create() v:clear() v:add('ANNA', 'Character', 1) v:clear() v:add('BEN')");
        const QList<QTextBlock> bs = blocks(view());
        QCOMPARE(bs.size(), 2);
        QCOMPARE(bs.at(1).blockFormat().leftMargin(), 110.0);
        QCOMPARE(brushName(textFormat(bs.at(1)), QTextFormat::BackgroundBrush), QString("#ff0000"));
    }

    void tagsLiveInTheParagraphs()
    {
        ok("v = qt.FDView.create() v:clear() v:add('a', 'Scene', 1) v:add('b', 'Action', 2)"
           " v:add('c') v:add('d', 'Page', -7) v:add('e', '', 0x7fffffff)");
        QCOMPARE(tags(view()), (QList<int>{-1, 1, 2, -1, -7, 0x7fffffff}));
        QCOMPARE(view()->toPlainText(), QString("\na\nb\nc\nd\ne"));
        // The tag of add is a true optional integer.
        QVERIFY(run("v:add('f', 'Scene', 1.5)").contains("number has no integer representation"));
        QVERIFY(run("v:add('f', 'Scene', 'x')").contains("bad argument"));
        QCOMPARE(view()->document()->blockCount(), 6);
    }

    void textIsUtf8()
    {
        ok("v = qt.FDView.create() v:clear() v:add('Caf\\u{e9} \\u{2014} Nacht', 'Action')");
        QCOMPARE(blocks(view()).at(1).text(), QString::fromUtf8("Caf\xc3\xa9 \xe2\x80\x94 Nacht"));
    }

    void pagebreakInsertsARule()
    {
        ok("v = qt.FDView.create() v:clear() v:add('end of page one', 'Action') v:pagebreak()");
        FDView *v = view();
        bool rule = false;
        for (const QTextBlock &b : blocks(v))
            rule = rule || b.blockFormat().hasProperty(QTextFormat::BlockTrailingHorizontalRulerWidth);
        QVERIFY(rule);
    }

    // Tags --------------------------------------------------------------------

    void setColorPaintsEveryParagraphOfTheTag()
    {
        ok("v = qt.FDView.create() v:clear() v:add('a', 'Scene') v:add('b', 'Action', 2) v:add('c', 'Dialogue')"
           " v:add('d', 'Character', 2) v:setColor(-1, 0x12345678)");
        FDView *v = view();
        const QList<QTextBlock> bs = blocks(v);
        // The top byte is dropped: opaque #345678.
        QCOMPARE(brushName(textFormat(bs.at(1)), QTextFormat::BackgroundBrush), QString("#345678"));
        QCOMPARE(textFormat(bs.at(1)).background().color().alpha(), 255);
        QCOMPARE(brushName(textFormat(bs.at(3)), QTextFormat::BackgroundBrush), QString("#345678"));
        QCOMPARE(brushName(textFormat(bs.at(2)), QTextFormat::BackgroundBrush), QString());
        QCOMPARE(brushName(textFormat(bs.at(4)), QTextFormat::BackgroundBrush), QString("#ff0000"));
        // The empty first paragraph carries -1 too: its own format, which
        // anything typed there would get, has the colour.
        QCOMPARE(brushName(bs.at(0).charFormat(), QTextFormat::BackgroundBrush), QString("#345678"));
        QTextCursor first(bs.at(0));
        QCOMPARE(brushName(first.charFormat(), QTextFormat::BackgroundBrush), QString("#345678"));
        // Only the background changes; the paragraph keeps its own format.
        QCOMPARE(textFormat(bs.at(1)).fontWeight(), 75);
        QCOMPARE(textFormat(bs.at(3)).fontFamily(), QString("Courier New"));

        ok("v:setColor(2, 0x00FF00)");
        QCOMPARE(brushName(textFormat(blocks(v).at(2)), QTextFormat::BackgroundBrush), QString("#00ff00"));
        QCOMPARE(brushName(textFormat(blocks(v).at(4)), QTextFormat::BackgroundBrush), QString("#00ff00"));
        QCOMPARE(brushName(textFormat(blocks(v).at(1)), QTextFormat::BackgroundBrush), QString("#345678"));
    }

    void emptyParagraphsTakeTheFormatToo()
    {
        ok("v = qt.FDView.create() v:clear() v:add('INT. HALL', 'Scene', 1) v:add('', 'Dialogue', 8)"
           " v:add('after', 'Action', 1) v:setColor(-1, 0x0000FF) v:setVisibleForTag(8, 0)");
        const QList<QTextBlock> bs = blocks(view());
        QCOMPARE(brushName(bs.at(0).charFormat(), QTextFormat::BackgroundBrush), QString("#0000ff"));
        QCOMPARE(brushName(textFormat(bs.at(1)), QTextFormat::BackgroundBrush), QString());
        // A hidden empty line shrinks like a hidden text line.
        QCOMPARE(bs.at(2).charFormat().fontPointSize(), 1.0);
        QCOMPARE(textFormat(bs.at(3)).fontPointSize(), 10.0);
        QCOMPARE(brushName(textFormat(bs.at(3)), QTextFormat::ForegroundBrush), QString("#555555"));
    }

    void hidingAndShowingATag()
    {
        ok("v = qt.FDView.create() v:clear() v:add('THE END', 'Title', 5) v:add('ANNA', 'Character', 5)"
           " v:add('She waits.', 'Action', 6) v:setFontScale(1.5) v:setVisibleForTag(5, 0)");
        FDView *v = view();
        for (int i : {1, 2}) {
            const QTextCharFormat cf = textFormat(blocks(v).at(i));
            QCOMPARE(brushName(cf, QTextFormat::ForegroundBrush), QString("#ffffff"));
            QCOMPARE(cf.fontPointSize(), 1.0);
        }
        QCOMPARE(textFormat(blocks(v).at(3)).fontPointSize(), 10.0);
        QCOMPARE(brushName(textFormat(blocks(v).at(3)), QTextFormat::ForegroundBrush), QString("#555555"));

        ok("v:setVisibleForTag(5, 1)");
        for (int i : {1, 2}) {
            const QTextCharFormat cf = textFormat(blocks(v).at(i));
            QCOMPARE(brushName(cf, QTextFormat::ForegroundBrush), QString("#555555"));
            QCOMPARE(cf.foreground().style(), Qt::SolidPattern);
            // The base size at the current scale, whatever the kind was.
            QCOMPARE(cf.fontPointSize(), 15.0);
        }
        // The hidden text kept its place.
        QCOMPARE(v->toPlainText(), QString("\nTHE END\nANNA\nShe waits."));
    }

    void looseIntegerArguments()
    {
        ok("v = qt.FDView.create() v:clear() v:add('zero', 'Scene', 0) v:add('one', 'Scene', 1)");
        FDView *v = view();
        // Non-integers count as tag 0 and as colour 0 (black).
        ok("v:setColor(0.5, 0xFF) ");
        QCOMPARE(brushName(textFormat(blocks(v).at(1)), QTextFormat::BackgroundBrush), QString("#0000ff"));
        ok("v:setColor('x', 1.5)");
        QCOMPARE(brushName(textFormat(blocks(v).at(1)), QTextFormat::BackgroundBrush), QString("#000000"));
        ok("v:setColor('1', '0xFF0000')");
        QCOMPARE(brushName(textFormat(blocks(v).at(2)), QTextFormat::BackgroundBrush), QString("#ff0000"));
        // visible 0.5 is 0: hidden; a boolean tag is tag 0.
        ok("v:setVisibleForTag(1, 0.5)");
        QCOMPARE(textFormat(blocks(v).at(2)).fontPointSize(), 1.0);
        ok("v:setVisibleForTag(true, 0)");
        QCOMPARE(textFormat(blocks(v).at(1)).fontPointSize(), 1.0);
        ok("v:setVisibleForTag(0, true)");
        QCOMPARE(textFormat(blocks(v).at(1)).fontPointSize(), 1.0);
        ok("v:setVisibleForTag(0, '2')");
        QCOMPARE(textFormat(blocks(v).at(1)).fontPointSize(), 10.0);

        ok("v:setEdit(true)");
        QVERIFY(v->isReadOnly());
        ok("v:setEdit(1)");
        QVERIFY(!v->isReadOnly());
        ok("v:setEdit(0.5)");
        QVERIFY(v->isReadOnly());
        ok("v:setEdit('1')");
        QVERIFY(!v->isReadOnly());
        ok("v:setEdit()");
        QVERIFY(v->isReadOnly());
    }

    void readOnlyViewLetsMouseMovesThrough()
    {
        auto catcher = std::make_unique<MoveCatcher>();
        catcher->resize(400, 300);
        catcher->show();
        auto *v = new FDView(catcher.get());
        v->setGeometry(0, 0, 400, 300);
        v->show();
        luaX_pushobject(fx->L, v, "FDView"); // tracked: the script sees its touches
        lua_setglobal(fx->L, "v");
        ok("names[v] = 'v' v:clear() v:add('Some text to drag across', 'Action')");

        const auto move = [&] {
            QMouseEvent e(QEvent::MouseMove, QPointF(30, 10), QPointF(30, 10), Qt::NoButton, Qt::LeftButton,
                          Qt::NoModifier);
            QApplication::sendEvent(v->viewport(), &e);
        };
        move();
        QCOMPARE(catcher->moves, 0);
        QCOMPARE(logged(*fx, {"onTouchMove"}), QStringList());

        ok("v:setEdit(0)");
        move();
        QCOMPARE(catcher->moves, 1);
        // The view itself passed it on, at its own coordinates.
        const QPoint at = v->viewport()->pos() + QPoint(30, 10);
        QCOMPARE(logged(*fx, {"onTouchMove"}),
                 QStringList{QString("v,onTouchMove,%1,%2").arg(at.x()).arg(at.y())});

        ok("v:setEdit(1)");
        move();
        QCOMPARE(catcher->moves, 1);
    }

    // Position and scrolling ----------------------------------------------------

    void positionIsAFraction()
    {
        makeLongView();
        if (QTest::currentTestFailed())
            return;
        QScrollBar *bar = view()->verticalScrollBar();
        QCOMPARE(eval("v:position()").toDouble(), 0.0);
        bar->setValue(bar->maximum() / 4);
        QCOMPARE(eval("v:position()").toDouble(), double(bar->maximum() / 4) / bar->maximum());
        bar->setValue(bar->maximum());
        QCOMPARE(eval("v:position()").toDouble(), 1.0);
    }

    void setPositionJumps()
    {
        makeLongView();
        if (QTest::currentTestFailed())
            return;
        QScrollBar *bar = view()->verticalScrollBar();
        bar->setRange(0, 1001);
        const int page = bar->pageStep();
        debugLines.clear();
        ok("v:setPosition(0.5)");
        QCOMPARE(bar->value(), 500);
        QCOMPARE(debugLines, QStringList{QString("setPosition 0.5 1001 %1").arg(page)});
        ok("v:setPosition(0.9999)");
        QCOMPARE(bar->value(), 1000);
        ok("v:setPosition(7)");
        QCOMPARE(bar->value(), 1001);
        ok("v:setPosition('x')");
        QCOMPARE(bar->value(), 0);
        ok("v:setPosition(-3)");
        QCOMPARE(bar->value(), 0);
        QCOMPARE(TestAccess::scrollAnimation(view())->state(), QAbstractAnimation::Stopped);
    }

    void setPositionLeavesAGlideRunning()
    {
        makeLongView();
        if (QTest::currentTestFailed())
            return;
        QScrollBar *bar = view()->verticalScrollBar();
        ok("v:scrollTo(1) v:setPosition(0.25)");
        QCOMPARE(TestAccess::scrollAnimation(view())->state(), QAbstractAnimation::Running);
        QTRY_COMPARE(bar->value(), bar->maximum());
    }

    void scrollToClamps()
    {
        makeLongView();
        if (QTest::currentTestFailed())
            return;
        FDView *v = view();
        QScrollBar *bar = v->verticalScrollBar();
        QPropertyAnimation *a = TestAccess::scrollAnimation(v);
        const int max = bar->maximum();
        const int page = bar->pageStep();
        debugLines.clear();
        ok("v:scrollTo(2)");
        QCOMPARE(debugLines, QStringList{QString("scrollTo 2 %1 %2 0 %3").arg(max).arg(page).arg(2 * max)});
        QCOMPARE(a->state(), QAbstractAnimation::Running);
        QCOMPARE(a->duration(), 1000);
        QCOMPARE(a->startValue().toInt(), 0);
        QCOMPARE(a->endValue().toInt(), max);
        QTRY_COMPARE(bar->value(), max);
        QTRY_COMPARE(a->state(), QAbstractAnimation::Stopped);

        ok("v:scroll(-1)"); // the other name of the same glide
        QCOMPARE(a->startValue().toInt(), max);
        QCOMPARE(a->endValue().toInt(), 0);
        QTRY_COMPARE(bar->value(), 0);

        ok("v:scrollTo(0.5)");
        QCOMPARE(a->endValue().toInt(), max / 2);
        QTRY_COMPARE(bar->value(), max / 2);
    }

    void scrollToDuringAGlideJumpsToItsTarget()
    {
        makeLongView();
        if (QTest::currentTestFailed())
            return;
        FDView *v = view();
        QScrollBar *bar = v->verticalScrollBar();
        QPropertyAnimation *a = TestAccess::scrollAnimation(v);
        const int max = bar->maximum();
        ok("v:scrollTo(1)");
        QVERIFY(bar->value() < max);
        ok("v:scrollTo(0.5)");
        QCOMPARE(a->startValue().toInt(), max);
        QCOMPARE(a->endValue().toInt(), max / 2);
        // Landed on the old target first.
        QVERIFY(bar->value() > max / 2);
        QTRY_COMPARE(bar->value(), max / 2);
    }

    void scrollStepByFractionsOfAPage()
    {
        makeLongView();
        if (QTest::currentTestFailed())
            return;
        FDView *v = view();
        QScrollBar *bar = v->verticalScrollBar();
        QPropertyAnimation *a = TestAccess::scrollAnimation(v);
        const int max = bar->maximum();
        const int page = bar->pageStep();
        debugLines.clear();
        QCOMPARE(eval("v:scrollStep(0.5)").toDouble(), double(page / 2) / max);
        QCOMPARE(debugLines, QStringList{QString("scrollStep 0.5 %1 %2 0 %3").arg(max).arg(page).arg(page / 2)});
        QCOMPARE(a->duration(), 1000);
        QCOMPARE(a->endValue().toInt(), page / 2);
        QTRY_COMPARE(bar->value(), page / 2);
        QTRY_COMPARE(a->state(), QAbstractAnimation::Stopped);

        QCOMPARE(eval("v:scrollStep(0.001)").toDouble(), double(page / 2 + 1) / max);
        QTRY_COMPARE(bar->value(), page / 2 + 1);
        QTRY_COMPARE(a->state(), QAbstractAnimation::Stopped);
        // Zero and non-numbers still move by one pixel, downwards.
        QCOMPARE(eval("v:scrollStep('none')").toDouble(), double(page / 2 + 2) / max);
        QTRY_COMPARE(bar->value(), page / 2 + 2);
        QTRY_COMPARE(a->state(), QAbstractAnimation::Stopped);

        QCOMPARE(eval("v:scrollStep(-0.5)").toDouble(), 2.0 / max);
        QTRY_COMPARE(bar->value(), 2);
    }

    void scrollStepStopsAtTheEnds()
    {
        makeLongView();
        if (QTest::currentTestFailed())
            return;
        FDView *v = view();
        QScrollBar *bar = v->verticalScrollBar();
        QPropertyAnimation *a = TestAccess::scrollAnimation(v);
        QCOMPARE(eval("v:scrollStep(-1)").toDouble(), 0.0);
        QCOMPARE(a->endValue().toInt(), 0);
        QCOMPARE(bar->value(), 0);
        QTRY_COMPARE(a->state(), QAbstractAnimation::Stopped);
        QCOMPARE(bar->value(), 0);

        bar->setValue(bar->maximum() - 5);
        QCOMPARE(eval("v:scrollStep(3)").toDouble(), 1.0);
        QTRY_COMPARE(bar->value(), bar->maximum());
    }

    void quickStepsAddUp()
    {
        makeLongView();
        if (QTest::currentTestFailed())
            return;
        FDView *v = view();
        QScrollBar *bar = v->verticalScrollBar();
        QPropertyAnimation *a = TestAccess::scrollAnimation(v);
        const int max = bar->maximum();
        const int page = bar->pageStep();
        QVERIFY(max > 2 * page);
        ok("first = v:scrollStep(1)");
        QCOMPARE(eval("v:scrollStep(1)").toDouble(), double(2 * page) / max);
        // The second glide starts from where the view is, not from the old target.
        QVERIFY(a->startValue().toInt() < page);
        QCOMPARE(a->endValue().toInt(), 2 * page);
        QTRY_COMPARE(bar->value(), 2 * page);
        QTRY_COMPARE(a->state(), QAbstractAnimation::Stopped);
        QCOMPARE(eval("first").toDouble(), double(page) / max);
    }

    void textThatFitsGivesZero()
    {
        ok("v = qt.FDView.create() v:setGeometry(0, 0, 400, 300) v:show() v:clear() v:add('FADE OUT.', 'Action')");
        FDView *v = view();
        QScrollBar *bar = v->verticalScrollBar();
        QCOMPARE(bar->maximum(), 0);
        QCOMPARE(eval("v:position()").toDouble(), 0.0);
        debugLines.clear();
        ok("v:scrollTo(0.5)");
        QCOMPARE(TestAccess::scrollAnimation(v)->endValue().toInt(), 0);
        QCOMPARE(debugLines, QStringList{QString("scrollTo 0.5 0 %1 0 0").arg(bar->pageStep())});
        QCOMPARE(eval("v:scrollStep(1)").toDouble(), 0.0);
        QCOMPARE(TestAccess::scrollAnimation(v)->endValue().toInt(), 0);
        ok("v:setPosition(0.5)");
        QCOMPARE(bar->value(), 0);
        QTRY_COMPARE(TestAccess::scrollAnimation(v)->state(), QAbstractAnimation::Stopped);
        QCOMPARE(bar->value(), 0);
    }

    // The demo's prompter page ---------------------------------------------------

    void demoPrompterPage()
    {
        ok("package.path = '" ORVANE_SOURCE_DIR "/modules/?.lua;' .. package.path\n"
           "P = require 'demo.prompter'\n"
           "function MsgHandler(h, m, ...) return P.message(h, m, ...) end\n"
           "root = qt.Widget.create() root:setGeometry(0, 0, 690, 420) P.build(root) root:show() P.shown()\n"
           "v = P.state().view\n"
           "function press(text)\n"
           "  for b, info in pairs(P.state().buttons) do\n"
           "    local l = info.label\n"
           "    if type(l) == 'function' then l = l() end\n"
           "    if l == text then P.message(b, 'onClick') return true end\n"
           "  end\n"
           "end");
        FDView *v = view();
        QVERIFY(v);
        QVERIFY(v->isReadOnly());
        QVERIFY(v->toPlainText().contains("THE RELIEF"));
        // Messages of other objects are not the page's business.
        QCOMPARE(eval("P.message(root, 'onClick') == nil and P.message(nil, 'onPaint') == nil").toBool(), true);

        // The first speaker is on cue: their paragraphs are lit, the other's are white.
        const int first = eval("P.state().cue").toInt();
        QVERIFY(first == 1 || first == 2);
        const auto litTags = [&] {
            QSet<int> lit;
            for (const QTextBlock &b : blocks(v)) {
                if (b.length() > 1 && brushName(textFormat(b), QTextFormat::BackgroundBrush) == "#fff2a8")
                    lit << b.userState();
            }
            return lit;
        };
        QCOMPARE(litTags(), QSet<int>{first});
        QVERIFY(eval("press('Next cue')").toBool());
        QCOMPARE(litTags(), QSet<int>{3 - first});

        // Directions hide and come back.
        QScrollBar *bar = v->verticalScrollBar();
        QTRY_VERIFY(bar->maximum() > 0);
        QTRY_COMPARE(bar->value(), 0);
        const int full = bar->maximum();
        QVERIFY(eval("press('Hide directions')").toBool());
        QTRY_VERIFY(bar->maximum() < full);
        QVERIFY(eval("press('Show directions')").toBool());
        QTRY_COMPARE(bar->maximum(), full);

        // Buttons step; the timer glides on until paused.
        QVERIFY(eval("press('Page down')").toBool());
        QTRY_COMPARE(bar->value(), bar->pageStep());
        QTRY_COMPARE(TestAccess::scrollAnimation(v)->state(), QAbstractAnimation::Stopped);
        QVERIFY(eval("press('Play')").toBool());
        QCOMPARE(eval("P.state().playing").toBool(), true);
        QTRY_VERIFY_WITH_TIMEOUT(bar->value() > bar->pageStep() + bar->pageStep() / 5, 5000);
        QVERIFY(eval("press('Pause')").toBool());
        QCOMPARE(eval("P.state().playing").toBool(), false);
        QVERIFY(eval("press('Top')").toBool());
        QTRY_COMPARE(bar->value(), 0);
        QTRY_COMPARE(TestAccess::scrollAnimation(v)->state(), QAbstractAnimation::Stopped);
    }
};

QTEST_MAIN(FDViewTest)
#include "fdview.moc"
