// The QFont script class: attribute words in any order, their errors, fonts
// as independent values, and text measurement.
#include "luafixture.h"
#include "luax.h"

#include <QFont>
#include <QFontMetrics>
#include <QtTest>

#include <memory>

using testsupport::LuaFixture;
using testsupport::StdoutCapture;

class FontTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<LuaFixture> fx;

    QFont *font(const char *global)
    {
        lua_getglobal(fx->L, global);
        auto *f = static_cast<QFont *>(luaX_toobject(fx->L, -1, "QFont"));
        lua_pop(fx->L, 1);
        return f;
    }

private slots:
    void init()
    {
        StdoutCapture quiet;
        fx = std::make_unique<LuaFixture>();
    }
    void cleanup() { fx.reset(); }

    void createGivesTheHostDefaults()
    {
        QCOMPARE(fx->run("f = qt.QFont.create()"), QString());
        QFont *f = font("f");
        QVERIFY(f);
        const QFont appDefault;
        QCOMPARE(f->family(), QStringLiteral("Courier New"));
        QCOMPARE(f->weight(), 50);
        QCOMPARE(int(f->styleStrategy()), 128);
        QCOMPARE(f->pointSizeF(), appDefault.pointSizeF());
        QCOMPARE(f->pixelSize(), appDefault.pixelSize());
        QVERIFY(!f->italic() && !f->overline() && !f->underline());
        lua_getglobal(fx->L, "f");
        QCOMPARE(luaX_testudata(fx->L, -1, "QFont")->flags, HANDLE_OWNED | HANDLE_UNTRACKED);
        lua_pop(fx->L, 1);
    }

    void eachCreateAndCopyIsAFreshHandle()
    {
        QCOMPARE(fx->run("a = qt.QFont.create(); b = qt.QFont.create(); c = a:copy()"), QString());
        QCOMPARE(fx->eval("rawequal(a, b) or rawequal(a, c)").toBool(), false);
        QVERIFY(font("a") != font("b"));
        QVERIFY(font("a") != font("c"));
        QCOMPARE(*font("c"), *font("a"));
    }

    void attributesApplyInAnyOrder_data()
    {
        QTest::addColumn<QByteArray>("attributes");
        QTest::addColumn<QString>("family");
        QTest::addColumn<int>("weight");
        QTest::addColumn<int>("pixelSize"); // -1: left at the default
        QTest::addColumn<bool>("italic");
        QTest::addColumn<bool>("overline");
        QTest::newRow("family bold size") << QByteArray("'Courier New', 'bold', 24") << "Courier New" << 75 << 24
                                          << false << false;
        QTest::newRow("size family bold") << QByteArray("24, 'Courier New', 'bold'") << "Courier New" << 75 << 24
                                          << false << false;
        QTest::newRow("numeric string is a size") << QByteArray("'Sans', '18'") << "Sans" << 50 << 18 << false
                                                  << false;
        QTest::newRow("float size truncated") << QByteArray("12.9") << "Courier New" << 50 << 12 << false << false;
        QTest::newRow("later weight wins") << QByteArray("'bold', 'light'") << "Courier New" << 25 << -1 << false
                                           << false;
        QTest::newRow("capital B is a family") << QByteArray("'Bold'") << "Bold" << 50 << -1 << false << false;
        QTest::newRow("nil skipped") << QByteArray("'light', nil, 'italic', 13") << "Courier New" << 25 << 13
                                     << true << false;
        QTest::newRow("demibold overline") << QByteArray("'demibold', 'overline'") << "Courier New" << 63 << -1
                                           << false << true;
        QTest::newRow("normal keeps style") << QByteArray("'bold', 'italic', 'overline', 'normal'") << "Courier New"
                                            << 50 << -1 << true << true;
        QTest::newRow("later size wins") << QByteArray("10, 'Sans', 30") << "Sans" << 50 << 30 << false << false;
        QTest::newRow("nothing") << QByteArray("") << "Courier New" << 50 << -1 << false << false;
    }
    void attributesApplyInAnyOrder()
    {
        QFETCH(QByteArray, attributes);
        QFETCH(QString, family);
        QFETCH(int, weight);
        QFETCH(int, pixelSize);
        QFETCH(bool, italic);
        QFETCH(bool, overline);
        QCOMPARE(fx->run("f = qt.QFont.create(); f:setFont(" + attributes + ")"), QString());
        QFont *f = font("f");
        QCOMPARE(f->family(), family);
        QCOMPARE(f->weight(), weight);
        QCOMPARE(f->pixelSize(), pixelSize == -1 ? QFont().pixelSize() : pixelSize);
        QCOMPARE(f->italic(), italic);
        QCOMPARE(f->overline(), overline);
    }

    void underlineWordSetsUnderline()
    {
        QCOMPARE(fx->run("f = qt.QFont.create(); f:setFont('underline')"), QString());
        QVERIFY(font("f")->underline());
    }

    void badAttributesRaiseAfterApplyingEarlierOnes_data()
    {
        QTest::addColumn<QByteArray>("attributes");
        QTest::addColumn<int>("position"); // as Lua counts for a method call (self not counted)
        QTest::newRow("lower-case family") << QByteArray("'bold', 'courier'") << 2;
        QTest::newRow("empty string") << QByteArray("'bold', ''") << 2;
        QTest::newRow("boolean") << QByteArray("'bold', 20, true") << 3;
        QTest::newRow("table") << QByteArray("'bold', {}") << 2;
        QTest::newRow("function") << QByteArray("'bold', print") << 2;
        QTest::newRow("font handle") << QByteArray("'bold', qt.QFont.create()") << 2;
    }
    void badAttributesRaiseAfterApplyingEarlierOnes()
    {
        QFETCH(QByteArray, attributes);
        QFETCH(int, position);
        QCOMPARE(fx->run("f = qt.QFont.create()"), QString());
        QCOMPARE(fx->run("f:setFont(" + attributes + ")"),
                 QStringLiteral("test:1: bad argument #%1 to 'setFont' (Unexpected font attribute)").arg(position));
        QCOMPARE(font("f")->weight(), 75);
    }

    void wrongHandlesAreRejected()
    {
        QCOMPARE(fx->run("qt.QFont.setFont({}, 'bold')"),
                 QStringLiteral("test:1: bad argument #1 to 'setFont' (QFont expected, got table)"));
        QCOMPARE(fx->run("f = qt.QFont.create(); qt.QFont.textBounds(f)"),
                 QStringLiteral("test:1: bad argument #2 to 'textBounds' (string expected, got no value)"));
    }

    void copyIsIndependent()
    {
        QCOMPARE(fx->run("a = qt.QFont.create(); a:setFont('Serif', 16); b = a:copy()\n"
                         "b:setFont('bold', 'italic', 30)"),
                 QString());
        QCOMPARE(font("a")->weight(), 50);
        QVERIFY(!font("a")->italic());
        QCOMPARE(font("a")->pixelSize(), 16);
        QCOMPARE(font("b")->family(), QStringLiteral("Serif"));
        QCOMPARE(font("b")->weight(), 75);
        QCOMPARE(font("b")->pixelSize(), 30);
        QCOMPARE(fx->run("a:setFont('light', 'Mono')"), QString());
        QCOMPARE(font("b")->weight(), 75);
        QCOMPARE(font("b")->family(), QStringLiteral("Serif"));
    }

    void textBoundsAreInclusiveBoundingRectExtents_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::newRow("word") << QByteArray("Hello");
        QTest::newRow("two lines") << QByteArray("a\\nbbbbbb");
        QTest::newRow("empty") << QByteArray("");
    }
    void textBoundsAreInclusiveBoundingRectExtents()
    {
        QFETCH(QByteArray, text);
        QCOMPARE(fx->run("f = qt.QFont.create(); f:setFont(20, 'bold'); w, h = f:textBounds('" + text + "')"),
                 QString());
        const QString native = QString::fromUtf8(text).replace(QLatin1String("\\n"), QLatin1String("\n"));
        const QRect r = QFontMetrics(*font("f")).boundingRect(QRect(), 0, native);
        QCOMPARE(fx->eval("w").toInt(), r.right() - r.left() + 1);
        QCOMPARE(fx->eval("h").toInt(), r.bottom() - r.top() + 1);
        QCOMPARE(fx->eval("math.type(w) .. math.type(h)").toByteArray(), QByteArray("integerinteger"));
    }

    void newlinesStartNewLines()
    {
        QCOMPARE(fx->run("f = qt.QFont.create(); f:setFont(20)\n"
                         "w1, h1 = f:textBounds('abc'); w2, h2 = f:textBounds('abc\\nabc')"),
                 QString());
        QVERIFY(fx->eval("h2").toInt() > fx->eval("h1").toInt());
        QCOMPARE(fx->eval("w2").toInt(), fx->eval("w1").toInt());
    }

    void collectingReferenceHandleLeavesFontAlone()
    {
        // Only owning handles delete: a font pushed as a reference must survive __gc.
        QFont mine(QStringLiteral("Sans"));
        luaX_newobject(fx->L, &mine, "QFont", HANDLE_REFERENCE | HANDLE_UNTRACKED);
        lua_setglobal(fx->L, "ref");
        QCOMPARE(fx->run("ref:setFont('bold'); ref = nil; for i = 1, 3 do collectgarbage() end"), QString());
        QCOMPARE(mine.weight(), 75);
        QCOMPARE(mine.family(), QStringLiteral("Sans"));
    }
};

QTEST_MAIN(FontTest)
#include "font.moc"
