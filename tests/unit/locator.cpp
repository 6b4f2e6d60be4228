// Search-path expansion and the start chunk, as units: the expansion is the
// same Lua text the host runs, tried with Windows-style and POSIX-style
// directories.
#include "luax.h"
#include "modulelocator.h"

#include <QTest>

class LocatorTest : public QObject
{
    Q_OBJECT

    lua_State *L = nullptr;

    QString expand(const char *dir, const char *list, const char *ext, bool keepRoot)
    {
        lua_settop(L, 0);
        if (luaL_loadstring(L, orvane::moduleLocatorScript()) != LUA_OK || lua_pcall(L, 0, 1, 0) != LUA_OK)
            return QStringLiteral("error: ") + lua_tostring(L, -1);
        lua_getfield(L, -1, "expandsearchpaths");
        lua_pushstring(L, dir);
        lua_pushstring(L, list);
        lua_pushstring(L, ext);
        lua_pushboolean(L, keepRoot);
        if (lua_pcall(L, 4, 1, 0) != LUA_OK)
            return QStringLiteral("error: ") + lua_tostring(L, -1);
        return QString::fromUtf8(lua_tostring(L, -1));
    }

private slots:
    void init() { L = luaX_newstate(); }
    void cleanup() { lua_close(L); }

    void expandsWindowsStyleDirectories()
    {
        QCOMPARE(expand("C:/dev/app/build/release/../..", "?/init.lua;?.lua;modules", "lua", false),
                 QStringLiteral("C:/dev/app/?/init.lua;C:/dev/app/?.lua;C:/dev/app/modules/?.lua"));
        QCOMPARE(expand("C:\\dev\\app\\build\\release\\..\\..", "?.dll;modules", "dll", false),
                 QStringLiteral("C:/dev/app/?.dll;C:/dev/app/modules/?.dll"));
    }

    void normalisesDotAndDotDot()
    {
        QCOMPARE(expand("D:/base", "x/./y/../z", "lua", false), QStringLiteral("D:/base/x/z/?.lua"));
        // ".." past the first piece removes nothing more.
        QCOMPARE(expand("a", "../../b", "lua", false), QStringLiteral("b/?.lua"));
    }

    void dropsEmptyElements()
    {
        QCOMPARE(expand("C:/x", ";;?.lua;;", "lua", false), QStringLiteral("C:/x/?.lua"));
        QCOMPARE(expand("C:/x", "", "lua", false), QString());
    }

    void posixKeepsTheRoot()
    {
        QCOMPARE(expand("/opt/app/bin/../..", "?/init.lua;?.lua;modules", "lua", true),
                 QStringLiteral("/opt/?/init.lua;/opt/?.lua;/opt/modules/?.lua"));
        QCOMPARE(expand("/opt/app", "?.so;modules", "so", true),
                 QStringLiteral("/opt/app/?.so;/opt/app/modules/?.so"));
        // Without the rule the root is lost, as on Windows.
        QCOMPARE(expand("/opt/app", "?.lua", "lua", false), QStringLiteral("opt/app/?.lua"));
    }

    void startChunkQuotesTheName()
    {
        QCOMPARE(orvane::startChunk(QStringLiteral("demo")),
                 QByteArray("_APP=\"demo\";_CONFIG=\"demo.config\"; _STANDALONE=true; require \"demo\""));
        // A hostile name stays one string literal: it compiles and names a module.
        const QByteArray evil = orvane::startChunk(QStringLiteral("x'); os.exit(3) --\"\n\\"));
        lua_settop(L, 0);
        QCOMPARE(luaL_loadstring(L, evil.constData()), LUA_OK);
        QVERIFY(luaL_dostring(L, "return 1") == LUA_OK);
        QCOMPARE(orvane::luaQuote("a\"b\\c\nd\0e"), QByteArray("\"a\\\"b\\\\c\\010d\""));
    }

    void loadstringIsDefinedForStrings()
    {
        orvane::defineLoadstring(L);
        QCOMPARE(luaL_dostring(L, "return loadstring('return 6 * 7')()"), LUA_OK);
        QCOMPARE(lua_tointeger(L, -1), lua_Integer(42));
        QCOMPARE(luaL_dostring(L, "local f, err = loadstring('return +') return f == nil and type(err)"), LUA_OK);
        QCOMPARE(QByteArray(lua_tostring(L, -1)), QByteArray("string"));
    }
};

QTEST_MAIN(LocatorTest)
#include "locator.moc"
