// Script start-up through the real host: module location, bundles, globals,
// the start chunk, onStartup/onShutdown and how each failure ends the run.
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTest>

using namespace testsupport;

namespace {

// A module that closes the window as soon as it has started and logs every
// message it receives, so the run ends by itself.
QByteArray closingModule(const QByteArray &extra = QByteArray())
{
    return extra + R"LUA(
function MsgHandler(obj, msg, ...)
  print("MSG", msg)
  if msg == "onStartup" then mainWindow:close() end
end
)LUA";
}

struct Host
{
    Install install;
    QString exe;
    Host() { exe = install.addHost(QStringLiteral("app/bin/orvane")); }
    Run run(const QStringList &args, int timeoutMs = 30000)
    {
        return runProcess(exe, args, install.root(), timeoutMs);
    }
    QString appDir() const { return install.path(QStringLiteral("app/bin")); }
};

QByteArray bundleWith(const QByteArray &payload, const QByteArray &loader, const QByteArray &trailer)
{
    QByteArray t = trailer;
    t = t.leftJustified(16, ' ', true);
    return payload + loader + t;
}

} // namespace

class StartupTest : public QObject
{
    Q_OBJECT

private slots:
    void logShowsStartupInOrder()
    {
        Host h;
        h.install.writeFile(QStringLiteral("modules/st_order.lua"), closingModule());
        const Run r = h.run({QStringLiteral("st_order")});
        QVERIFY2(r.finished, r.out.constData());
        QCOMPARE(r.status, 0);
        const QStringList l = lines(r.out);
        const QString root = QDir(h.install.root()).canonicalPath();
        const int dir1 = lineIndex(l, QStringLiteral("directory\t") + h.appDir());
        const int dir2 = lineIndex(l, QStringLiteral("directory\t") + h.appDir() + QStringLiteral("/../.."), dir1 + 1);
        const int path = lineIndex(l, QStringLiteral("package.path\t") + root + QStringLiteral("/?/init.lua;") + root
                                          + QStringLiteral("/?.lua;") + root + QStringLiteral("/modules/?.lua"));
        const int cpath = lineIndex(l, QStringLiteral("package.cpath\t") + root + QStringLiteral("/?.so;") + root
                                           + QStringLiteral("/modules/?.so"));
        const int first = lineIndex(l, QStringLiteral("luaX_createclass QObject:-"));
        const int mainClass = lineIndex(l, QStringLiteral("luaX_createclass MainWindow:QWidget"));
        const int start = lineIndex(l, QStringLiteral("Debug: Start module \"st_order\""));
        QVERIFY2(dir1 >= 0 && dir2 > dir1 && path > dir2 && cpath == path + 1, r.out.constData());
        QVERIFY(first > cpath && mainClass > first && start == mainClass + 1);
        QVERIFY(lineIndex(l, QStringLiteral("size of")) < 0);
        // onStartup, then the window is shown (its first move/resize), then onShutdown once.
        const int startup = lineIndex(l, QStringLiteral("MSG\tonStartup"));
        QVERIFY(startup > start);
        QCOMPARE(r.outText().count(QStringLiteral("MSG\tonShutdown")), 1);
        QCOMPARE(r.outText().count(QStringLiteral("MSG\tonStartup")), 1);
    }

    void findsModulesInEachPlace_data()
    {
        QTest::addColumn<QString>("file");
        QTest::newRow("init") << QStringLiteral("st_place/init.lua");
        QTest::newRow("root") << QStringLiteral("st_place.lua");
        QTest::newRow("modules") << QStringLiteral("modules/st_place.lua");
    }
    void findsModulesInEachPlace()
    {
        QFETCH(QString, file);
        Host h;
        h.install.writeFile(file, closingModule("print('loaded from', ...)\n"));
        const Run r = h.run({QStringLiteral("st_place")});
        QCOMPARE(r.status, 0);
        QVERIFY2(r.out.contains("loaded from\tst_place"), r.out.constData());
    }

    void publishesTheGlobals()
    {
        Host h;
        h.install.writeFile(QStringLiteral("modules/st_globals.lua"), closingModule(R"LUA(
print("G", _APP, _CONFIG, _STANDALONE, wantSettings, applicationFileName, _APP_FILENAME, _APP_PATH)
print("C", getmetatable(mainWindow).__classname, getmetatable(rootWidget).__classname,
      package.loaded["qt.core"].MainWindow == getmetatable(mainWindow), type(loadstring))
print("P", type(package.preload["bonjour.core"]), type(package.preload["serial.core"]))
)LUA"));
        Run r = h.run({QStringLiteral("st_globals")});
        QCOMPARE(r.status, 0);
        QVERIFY2(r.out.contains("G\tst_globals\tst_globals.config\ttrue\tfalse\torvane\torvane\t"
                                + h.exe.toLocal8Bit() + "\n"),
                 r.out.constData());
        QVERIFY(r.out.contains("C\tMainWindow\tQWidget\ttrue\tfunction\n"));
        QVERIFY(r.out.contains("P\tfunction\tfunction\n"));
        r = h.run({QStringLiteral("-s"), QStringLiteral("st_globals")});
        QVERIFY(r.out.contains("G\tst_globals\tst_globals.config\ttrue\ttrue\t"));
    }

    void failuresEndWithStatusOne_data()
    {
        QTest::addColumn<QByteArray>("module");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("raises while loading") << QByteArray("error('boom at load')") << QByteArray("boom at load");
        QTest::newRow("onStartup fails")
            << QByteArray("function MsgHandler(o, m) if m == 'onStartup' then error('boom at start') end end")
            << QByteArray("boom at start");
        QTest::newRow("onShutdown fails") << QByteArray(
            "function MsgHandler(o, m) if m == 'onStartup' then mainWindow:close() end "
            "if m == 'onShutdown' then error('boom at end') end end")
                                          << QByteArray("boom at end");
        QTest::newRow("no MsgHandler") << QByteArray("x = 1") << QByteArray("attempt to call a nil value");
    }
    void failuresEndWithStatusOne()
    {
        QFETCH(QByteArray, module);
        QFETCH(QByteArray, expected);
        Host h;
        h.install.writeFile(QStringLiteral("modules/st_fail.lua"), module);
        const Run r = h.run({QStringLiteral("st_fail")});
        QVERIFY(r.finished);
        QCOMPARE(r.status, 1);
        const QStringList l = lines(r.out);
        const int err = lineIndex(l, QStringLiteral("Error: Call failed"));
        QVERIFY2(err >= 0, r.out.constData());
        QVERIFY(l.value(err + 1).startsWith(QLatin1Char('[')) && l.value(err + 1).contains(QString::fromUtf8(expected)));
        QVERIFY(lineIndex(l, QStringLiteral("ERROR(traceback): ")) >= 0);
    }

    void missingModuleEndsWithStatusOne()
    {
        Host h;
        const Run r = h.run({QStringLiteral("st_nowhere")});
        QCOMPARE(r.status, 1);
        QVERIFY(r.out.contains("Error: Call failed"));
        QVERIFY(r.out.contains("module 'st_nowhere' not found"));
    }

    void moduleNamesCannotInjectCode_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("quote") << QStringLiteral("st_x'; print('INJECTED') --");
        QTest::newRow("double quote") << QStringLiteral("st_x\"; print('INJECTED') --");
        QTest::newRow("line break") << QStringLiteral("st_x\nprint('INJECTED')");
    }
    void moduleNamesCannotInjectCode()
    {
        QFETCH(QString, name);
        Host h;
        const Run r = h.run({name});
        QCOMPARE(r.status, 1);
        QVERIFY(!r.out.contains("\nINJECTED"));
        QVERIFY(r.out.contains("not found"));
    }

    void closingInOnStartupEndsTheRun()
    {
        // The quit after onShutdown happens before the event loop runs.
        Host h;
        h.install.writeFile(QStringLiteral("modules/st_early.lua"), closingModule());
        const Run r = h.run({QStringLiteral("st_early")}, 20000);
        QVERIFY(r.finished);
        QCOMPARE(r.status, 0);
    }

    void bundleLoaderFillsPreload()
    {
        Host h;
        const QByteArray loader = closingModule().replace('\n', ' ');
        const QByteArray chunk = "local bundle = ...\n"
                                 "package.preload['st_bundle'] = function() print('from bundle', #bundle) "
                                 + loader + " end\n";
        const QByteArray payload("PAYLOAD\0bytes", 13);
        const QByteArray bundle = bundleWith(payload, chunk, QByteArray::number(chunk.size()) + "xyz");
        h.install.writeFile(QStringLiteral("app/bin/bundle.bin"), bundle);
        const Run r = h.run({QStringLiteral("st_bundle")});
        QCOMPARE(r.status, 0);
        const QStringList l = lines(r.out);
        QVERIFY2(lineIndex(l, QStringLiteral("size of bundle:\t%1").arg(bundle.size())) >= 0, r.out.constData());
        QVERIFY(lineIndex(l, QStringLiteral("size of loader:\t%1").arg(chunk.size())) >= 0);
        QVERIFY(l.contains(QStringLiteral("package.path\t")));
        const QString a = QDir(h.appDir()).canonicalPath();
        QVERIFY(l.contains(QStringLiteral("package.cpath\t") + a + QStringLiteral("/?.so;") + a
                           + QStringLiteral("/modules/?.so")));
        QVERIFY(r.out.contains(QByteArray("from bundle\t") + QByteArray::number(bundle.size())));
    }

    void bundleTrailers_data()
    {
        QTest::addColumn<QByteArray>("bundle");
        QTest::addColumn<int>("loaderSize");
        const QByteArray loader1234 = QByteArray("print('LOADER RAN')").leftJustified(1234, ' ');
        QTest::newRow("zero") << bundleWith("abc", QByteArray(), "0 padding") << 0;
        QTest::newRow("1234 and spaces") << bundleWith("p", loader1234, "1234") << 1234;
        const QByteArray small("print('LOADER RAN')");
        QTest::newRow("leading zeros") << bundleWith("p", small, "000" + QByteArray::number(small.size()))
                                       << small.size();
    }
    void bundleTrailers()
    {
        QFETCH(QByteArray, bundle);
        QFETCH(int, loaderSize);
        Host h;
        h.install.writeFile(QStringLiteral("app/bin/bundle.bin"), bundle);
        // The module sits on the directory path, which a bundle switches off.
        h.install.writeFile(QStringLiteral("modules/st_trailer.lua"), closingModule());
        const Run r = h.run({QStringLiteral("st_trailer")});
        const QStringList l = lines(r.out);
        QVERIFY2(lineIndex(l, QStringLiteral("size of loader:\t%1").arg(loaderSize)) >= 0, r.out.constData());
        QVERIFY(l.contains(QStringLiteral("package.path\t")));
        QCOMPARE(r.out.contains("LOADER RAN"), loaderSize > 0);
        QCOMPARE(r.status, 1); // not found: the bundle branch empties package.path
    }

    void brokenBundlesKeepDefaultPaths_data()
    {
        QTest::addColumn<QByteArray>("bundle");
        QTest::newRow("non-digit trailer") << bundleWith("p", "print('x')", "x12");
        QTest::newRow("short loader") << bundleWith("p", "print('x')", "500");
        QTest::newRow("does not compile") << bundleWith("p", "return +", "8");
        QTest::newRow("raises") << bundleWith("p", "error('loader says no')", "23");
    }
    void brokenBundlesKeepDefaultPaths()
    {
        QFETCH(QByteArray, bundle);
        Host h;
        h.install.writeFile(QStringLiteral("app/bin/bundle.bin"), bundle);
        // Lua's default path includes ./?.lua: the working directory is the install root.
        h.install.writeFile(QStringLiteral("st_broken.lua"), closingModule());
        const Run r = h.run({QStringLiteral("st_broken")});
        const QStringList l = lines(r.out);
        const int err = lineIndex(l, QStringLiteral("Error: Locate modules"));
        QVERIFY2(err >= 0, r.out.constData());
        QVERIFY(l.value(err + 1).startsWith(QLatin1Char('[')));
        QVERIFY(lineIndex(l, QStringLiteral("package.path")) < 0);
        QCOMPARE(r.status, 0);
    }

    void mkbundlePacksAModuleTree()
    {
        Host h;
        h.install.writeFile(QStringLiteral("src/st_packed/init.lua"), closingModule(R"LUA(
local helper = require "st_packed.helper"
print("packed says", helper.greeting)
)LUA"));
        h.install.writeFile(QStringLiteral("src/st_packed/helper.lua"), "return {greeting = 'hi there'}\n");
        const Run pack = runProcess(sourcePath(QStringLiteral("tools/mkbundle")),
                                    {h.install.path(QStringLiteral("app/bin/bundle.bin")), h.install.path(QStringLiteral("src"))});
        QVERIFY2(pack.status == 0, pack.err.constData());
        QVERIFY(pack.out.contains("2 modules"));
        const Run r = h.run({QStringLiteral("st_packed")});
        QVERIFY2(r.status == 0, r.out.constData());
        QVERIFY(r.out.contains("packed says\thi there"));
        QVERIFY(lines(r.out).contains(QStringLiteral("package.path\t")));
    }

    void demoRunsFromABundle()
    {
        Host h;
        // Under a name of its own, so that a demo running elsewhere on the
        // machine does not make this one a second copy.
        h.install.writeFile(QStringLiteral("extra/st_demobundle.lua"), "require 'demo'\n");
        const Run pack = runProcess(sourcePath(QStringLiteral("tools/mkbundle")),
                                    {h.install.path(QStringLiteral("app/bin/bundle.bin")), sourcePath(QStringLiteral("modules")),
                                     h.install.path(QStringLiteral("extra"))});
        QCOMPARE(pack.status, 0);
        QProcess host;
        host.setProcessEnvironment(childEnvironment());
        host.setWorkingDirectory(h.install.root());
        host.setProcessChannelMode(QProcess::MergedChannels);
        // The log file is unbuffered, so it can be read while the demo runs.
        host.start(h.exe, {QStringLiteral("st_demobundle"), QStringLiteral("-df")});
        const QString logPath = h.install.path(QStringLiteral("st_demobundle.log.txt"));
        QByteArray out;
        const auto readLog = [&] {
            QFile log(logPath);
            if (log.open(QFile::ReadOnly))
                out = log.readAll();
            return out;
        };
        // The demo's pages are built in onStartup; the network page starts its echo server.
        QTRY_VERIFY_WITH_TIMEOUT(readLog().contains("lserver_create"), 20000);
        host.kill();
        host.waitForFinished(5000);
        QVERIFY(out.contains("Start module \"st_demobundle\""));
        QVERIFY2(!out.contains("unavailable") && !out.contains("Call failed"), out.constData());
    }
};

QTEST_MAIN(StartupTest)
#include "startup.moc"
