// The module locator on the fuzzer's inputs, in the ordinary build: every
// seed bundle (tests/fuzz/corpus/bundle) and every input the fuzzer ever
// found a fault with (tests/fuzz/regressions/bundle, kept there for good)
// must end in a located module tree or a reported Lua error, under the same
// instruction and memory bounds the fuzz target sets.
#include "../fuzz/fuzzsandbox.h"
#include "luafixture.h"
#include "luax.h"
#include "modulelocator.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using testsupport::StdoutCapture;

namespace {

struct Located
{
    QByteArray out;
    QString path;  // package.path afterwards
    QString app;   // type of require("app") result, or the error
};

Located locate(const QByteArray &bundle)
{
    Located result;
    QTemporaryDir dir;
    QFile f(dir.filePath(QStringLiteral("bundle.bin")));
    if (!f.open(QIODevice::WriteOnly))
        return result;
    f.write(bundle);
    f.close();

    fuzzsandbox::Budget budget;
    lua_State *L = luaX_newstate();
    orvane::defineLoadstring(L);
    fuzzsandbox::confine(L, &budget);
    const QByteArray path = QFile::encodeName(dir.path());
    {
        StdoutCapture capture;
        orvane::locateModules(L, path, "bundle.bin", path + "/../..", orvane::kLuaSearchList,
                              orvane::kNativeSearchList);
        result.out = capture.finish();
    }
    lua_getglobal(L, "package");
    lua_getfield(L, -1, "path");
    result.path = QString::fromUtf8(lua_tostring(L, -1));
    lua_settop(L, 0);
    budget.instructions = 0;
    if (luaL_loadstring(L, "local ok, m = pcall(require, 'app') return ok and type(m) or tostring(m)") == LUA_OK
        && lua_pcall(L, 0, 1, 0) == LUA_OK)
        result.app = QString::fromUtf8(lua_tostring(L, -1));
    lua_close(L);
    return result;
}

QByteArray fileData(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

class FuzzRegressions : public QObject
{
    Q_OBJECT

private slots:
    void everyInputEnds_data()
    {
        QTest::addColumn<QString>("file");
        for (const char *folder : {"tests/fuzz/corpus/bundle", "tests/fuzz/regressions/bundle"}) {
            const QDir dir(QStringLiteral(ORVANE_SOURCE_DIR "/") + QLatin1String(folder));
            for (const QString &name : dir.entryList(QDir::Files, QDir::Name))
                QTest::newRow(qPrintable(QLatin1String(folder).mid(11) + QLatin1Char('/') + name))
                    << dir.filePath(name);
        }
    }
    void everyInputEnds()
    {
        QFETCH(QString, file);
        const Located r = locate(fileData(file));
        // Either the locator got as far as setting the paths, or it said why not.
        const bool located = r.out.contains("package.path\t");
        const bool reported = r.out.contains("Error: Locate modules\n[");
        QVERIFY2(located != reported, r.out.constData());
    }

    void seedsBehaveAsBuilt()
    {
        const QString seeds = QStringLiteral(ORVANE_SOURCE_DIR "/tests/fuzz/corpus/bundle/");
        Located r = locate(fileData(seeds + QStringLiteral("valid-two-modules.bin")));
        QCOMPARE(r.app, QStringLiteral("table"));
        QVERIFY2(r.out.contains("size of loader:\t302"), r.out.constData());

        r = locate(fileData(seeds + QStringLiteral("loops-forever.bin")));
        QVERIFY2(r.out.contains("instruction limit reached"), r.out.constData());

        r = locate(fileData(seeds + QStringLiteral("empty.bin")));
        QVERIFY(r.out.contains("package.path\t"));
        QVERIFY(!r.out.contains("size of bundle"));

        // Too long a loader: the locator's own length check stops it.
        r = locate(fileData(seeds + QStringLiteral("loader-too-long.bin")));
        QVERIFY2(r.out.contains("assertion failed"), r.out.constData());
    }

    // A loader that asks for more memory than the bound gets a Lua error,
    // not the process killed.
    void memoryBoundIsAnError()
    {
        const QByteArray loader = "local s = string.rep('x', 1 << 20) local t = {} for i = 1, 200 do t[i] = s .. i end";
        const Located r = locate(loader + QByteArray::number(loader.size()).leftJustified(16, ' '));
        QVERIFY2(r.out.contains("not enough memory"), r.out.constData());
    }
};

QTEST_GUILESS_MAIN(FuzzRegressions)
#include "fuzzregressions.moc"
