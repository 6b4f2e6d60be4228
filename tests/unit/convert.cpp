// Values crossing the boundary: properties as variants both ways, and the
// script colour values (0xTTRRGGBB numbers and the 28 names).
#include "luafixture.h"
#include "luax.h"

#include <QPoint>
#include <QStringList>
#include <QtTest>

#include <memory>

using testsupport::LuaFixture;
using testsupport::StdoutCapture;

namespace {

// tocolor(value [, default]) -> r, g, b, a
int tocolor(lua_State *L)
{
    const char *def = lua_type(L, 2) == LUA_TSTRING ? lua_tostring(L, 2) : nullptr;
    const QColor c = luaX_tocolor(L, 1, def);
    lua_pushinteger(L, c.red());
    lua_pushinteger(L, c.green());
    lua_pushinteger(L, c.blue());
    lua_pushinteger(L, c.alpha());
    return 4;
}

} // namespace

class ConvertTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<LuaFixture> fx;
    std::unique_ptr<QObject> obj;

    // The colour of a Lua expression (plus optional default) as #AARRGGBB, or the error text.
    QString color(const QByteArray &args)
    {
        const QVariant v = fx->eval("string.format('#%02X%02X%02X%02X', select(4, tocolor(" + args
                                    + ")), tocolor(" + args + "))");
        return v.type() == QVariant::ByteArray ? QString::fromLatin1(v.toByteArray()) : v.toString();
    }

private slots:
    void init()
    {
        {
            StdoutCapture quiet;
            fx = std::make_unique<LuaFixture>();
        }
        lua_register(fx->L, "tocolor", tocolor);
        obj = std::make_unique<QObject>();
        luaX_pushqobject(fx->L, obj.get());
        lua_setglobal(fx->L, "obj");
    }
    void cleanup()
    {
        StdoutCapture quiet;
        obj.reset();
        fx.reset();
    }

    // ---- variants through QObject:setProperty / property ----

    void scriptValuesBecomeVariants_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<QByteArray>("readBack"); // Lua expression the property must equal
        QTest::newRow("integer is text") << QByteArray("5") << QVariant(QStringLiteral("5")) << QByteArray("'5'");
        QTest::newRow("float is text") << QByteArray("2.5") << QVariant(QStringLiteral("2.5"))
                                       << QByteArray("'2.5'");
        QTest::newRow("string") << QByteArray("'abc'") << QVariant(QStringLiteral("abc")) << QByteArray("'abc'");
        QTest::newRow("numeric string stays text") << QByteArray("'0x10'") << QVariant(QStringLiteral("0x10"))
                                                   << QByteArray("'0x10'");
        QTest::newRow("true is 1") << QByteArray("true") << QVariant(1) << QByteArray("1");
        QTest::newRow("false is 0") << QByteArray("false") << QVariant(0) << QByteArray("0");
        QTest::newRow("table is 0.0") << QByteArray("{}") << QVariant(0.0) << QByteArray("0.0");
        QTest::newRow("function is 0.0") << QByteArray("print") << QVariant(0.0) << QByteArray("0.0");
    }
    void scriptValuesBecomeVariants()
    {
        QFETCH(QByteArray, value);
        QFETCH(QVariant, stored);
        QFETCH(QByteArray, readBack);
        QCOMPARE(fx->run("obj:setProperty('p', " + value + ")"), QString());
        const QVariant held = obj->property("p");
        QCOMPARE(held.userType(), stored.userType());
        QCOMPARE(held, stored);
        // math.type tells 1 from 1.0, which == does not.
        QCOMPARE(fx->eval("math.type(obj:property('p')) == math.type(" + readBack + ") and obj:property('p') == "
                          + readBack)
                     .toBool(),
                 true);
    }

    void nilOrAbsentValueRemovesProperty()
    {
        QCOMPARE(fx->run("obj:setProperty('p', 1) obj:setProperty('q', 2)"), QString());
        QVERIFY(obj->dynamicPropertyNames().contains("p"));
        QCOMPARE(fx->run("obj:setProperty('p', nil) obj:setProperty('q')"), QString());
        QVERIFY(!obj->dynamicPropertyNames().contains("p"));
        QVERIFY(!obj->dynamicPropertyNames().contains("q"));
        QCOMPARE(fx->eval("obj:property('p') == nil and select('#', obj:property('p'))").toInt(), 1);
    }

    void variantsBecomeScriptValues_data()
    {
        QTest::addColumn<QVariant>("value");
        QTest::addColumn<QByteArray>("expected"); // type and value as Lua sees them
        QTest::newRow("bool") << QVariant(true) << QByteArray("boolean true");
        QTest::newRow("int") << QVariant(-7) << QByteArray("integer -7");
        QTest::newRow("double") << QVariant(1.5) << QByteArray("float 1.5");
        QTest::newRow("string") << QVariant(QStringLiteral("text")) << QByteArray("string text");
        QTest::newRow("QPoint") << QVariant(QPoint(1, 2)) << QByteArray("nil nil");
        QTest::newRow("QStringList") << QVariant(QStringList{"a"}) << QByteArray("nil nil");
        QTest::newRow("unsigned") << QVariant(7u) << QByteArray("nil nil");
        QTest::newRow("byte array") << QVariant(QByteArray("b")) << QByteArray("nil nil");
    }
    void variantsBecomeScriptValues()
    {
        QFETCH(QVariant, value);
        QFETCH(QByteArray, expected);
        obj->setProperty("v", value);
        QCOMPARE(fx->eval("(math.type(obj:property('v')) or type(obj:property('v'))) .. ' ' .. "
                          "tostring(obj:property('v'))")
                     .toByteArray(),
                 expected);
    }

    void trackerPropertyIsNotVisibleToScripts()
    {
        QVERIFY(obj->property("lua").isValid()); // the state's address, a void pointer
        QCOMPARE(fx->eval("obj:property('lua') == nil").toBool(), true);
    }

    // ---- colours ----

    void namedColours_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QString>("argb");
        const char *const table[][2] = {
            {"off", "#FFFFFFFF"},       {"on", "#FF000000"},          {"white", "#FFFFFFFF"},
            {"black", "#FF000000"},     {"darkGray", "#FF808080"},    {"darkgray", "#FF808080"},
            {"gray", "#FFA0A0A4"},      {"lightgray", "#FFC0C0C0"},   {"lightblue", "#FFB0C4DE"},
            {"red", "#FFFF0000"},       {"green", "#FF00FF00"},       {"blue", "#FF0000FF"},
            {"cyan", "#FF00FFFF"},      {"magenta", "#FFFF00FF"},     {"yellow", "#FFFFFF00"},
            {"darkRed", "#FF800000"},   {"darkGreen", "#FF008000"},   {"darkBlue", "#FF000080"},
            {"darkCyan", "#FF008080"},  {"darkMagenta", "#FF800080"}, {"darkYellow", "#FF808000"},
            {"transparent", "#00000000"}, {"purple", "#FF800080"},    {"violet", "#FFEE82EE"},
            {"brown", "#FFA52A2A"},     {"orange", "#FFFFA500"},      {"darkgreen", "#FF006400"},
            {"gold", "#FFFFD700"},
        };
        QCOMPARE(int(sizeof table / sizeof table[0]), 28);
        for (const auto &row : table)
            QTest::newRow(row[0]) << QByteArray(row[0]) << QString::fromLatin1(row[1]);
    }
    void namedColours()
    {
        QFETCH(QByteArray, name);
        QFETCH(QString, argb);
        QCOMPARE(color("'" + name + "'"), argb);
        QCOMPARE(color("'" + name + "', 'black'"), argb); // a default only stands in for nil
    }

    void numericColours_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<QString>("argb");
        QTest::newRow("0 is opaque black") << QByteArray("0") << "#FF000000";
        QTest::newRow("TT 00 is opaque") << QByteArray("0x00FF0000") << "#FFFF0000";
        QTest::newRow("TT 80 is alpha 127") << QByteArray("0x80FF0000") << "#7FFF0000";
        QTest::newRow("TT FF is transparent") << QByteArray("0xFF000000") << "#00000000";
        QTest::newRow("hex string") << QByteArray("'0xFF0000'") << "#FFFF0000";
        QTest::newRow("decimal string") << QByteArray("'255'") << "#FF0000FF";
        QTest::newRow("float truncated") << QByteArray("2.9") << "#FF000002";
        QTest::newRow("-1 is all bits") << QByteArray("-1") << "#00FFFFFF";
        QTest::newRow("low 32 bits only") << QByteArray("0x1234567890") << "#CB567890";
    }
    void numericColours()
    {
        QFETCH(QByteArray, value);
        QFETCH(QString, argb);
        QCOMPARE(color(value), argb);
    }

    void missingValueTakesDefault()
    {
        QCOMPARE(color("nil, 'white'"), QStringLiteral("#FFFFFFFF"));
        QCOMPARE(color("nil, 'black'"), QStringLiteral("#FF000000"));
        // Without a default a missing value is an error like any missing string.
        QCOMPARE(fx->run("tocolor()"),
                 QStringLiteral("test:1: bad argument #1 to 'tocolor' (string expected, got no value)"));
    }

    void unknownNamesRaiseInvalidOption_data()
    {
        QTest::addColumn<QByteArray>("args");
        QTest::addColumn<QString>("error");
        QTest::newRow("Red") << QByteArray("'Red'") << "bad argument #1 to 'tocolor' (invalid option 'Red')";
        QTest::newRow("#FF0000") << QByteArray("'#FF0000', 'white'")
                                 << "bad argument #1 to 'tocolor' (invalid option '#FF0000')";
        QTest::newRow("empty") << QByteArray("''") << "bad argument #1 to 'tocolor' (invalid option '')";
        QTest::newRow("table") << QByteArray("{}, 'white'")
                               << "bad argument #1 to 'tocolor' (string expected, got table)";
    }
    void unknownNamesRaiseInvalidOption()
    {
        QFETCH(QByteArray, args);
        QFETCH(QString, error);
        QCOMPARE(fx->run("tocolor(" + args + ")"), "test:1: " + error);
    }
};

QTEST_MAIN(ConvertTest)
#include "convert.moc"
