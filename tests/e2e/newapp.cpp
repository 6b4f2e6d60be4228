// tools/new-app: the application it writes runs, its driver passes, and the
// driver's one check fails when the application stops doing what it checks.
#include "testsupport.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTest>

using namespace testsupport;

namespace {

struct Project
{
    Install install;
    QString exe;
    Project()
    {
        exe = install.addHost(QStringLiteral("app/bin/orvane"));
        install.copyFrom(sourcePath(QStringLiteral("tools/new-app")), QStringLiteral("tools/new-app"));
        install.copyFrom(sourcePath(QStringLiteral("tools/orvane-lint")), QStringLiteral("tools/orvane-lint"));
        install.copyFrom(QFileInfo(hostBinary()).absolutePath() + QLatin1String("/../types/luacheckrc"),
                         QStringLiteral("build/types/luacheckrc"));
    }
    Run newApp(const QStringList &args)
    {
        return runProcess(QStringLiteral("/bin/sh"), QStringList{install.path(QStringLiteral("tools/new-app"))} + args,
                          install.root());
    }
    Run runWithDriver(const QString &name)
    {
        QProcessEnvironment env = childEnvironment();
        env.insert(QStringLiteral("ORVANE_DRIVER"), QStringLiteral("modules/%1/driver.lua").arg(name));
        return runProcess(exe, {name}, install.root(), 60000, env);
    }
    QByteArray read(const QString &relative) const
    {
        QFile f(install.path(relative));
        return f.open(QFile::ReadOnly) ? f.readAll() : QByteArray();
    }
};

} // namespace

class NewAppTest : public QObject
{
    Q_OBJECT

private slots:
    void newAppPassesItsDriver()
    {
        Project p;
        const Run made = p.newApp({QStringLiteral("e2e_newapp_a")});
        QVERIFY2(made.finished && made.status == 0, made.err.constData());
        const QByteArray module = p.read(QStringLiteral("modules/e2e_newapp_a.lua"));
        QVERIFY(module.contains("function MsgHandler(handle, message, ...)"));
        QVERIFY(module.contains("setName(\"e2e_newapp_a.hello\")"));
        QVERIFY(p.read(QStringLiteral("modules/e2e_newapp_a/driver.lua")).contains("require \"orvane.test\""));
        QVERIFY(made.outText().contains(QStringLiteral("QT_QPA_PLATFORM=offscreen")));

        // The linter's configuration comes along, and the new code is clean by it.
        QCOMPARE(p.read(QStringLiteral("modules/e2e_newapp_a/.luacheckrc")), p.read(QStringLiteral("build/types/luacheckrc")));
        const Run lint = runProcess(p.install.path(QStringLiteral("tools/orvane-lint")),
                                    {QStringLiteral("--no-color"), QStringLiteral("--config"),
                                     QStringLiteral("modules/e2e_newapp_a/.luacheckrc"), QStringLiteral("modules")},
                                    p.install.root());
        QVERIFY2(lint.finished && lint.status == 0, lint.out.constData());

        const Run r = p.runWithDriver(QStringLiteral("e2e_newapp_a"));
        QVERIFY2(r.finished, r.out.constData());
        QVERIFY2(r.outText().contains(QStringLiteral("PASS greets by name\n1 passed, 0 failed\n")), r.out.constData());
        QCOMPARE(r.outText().count(QStringLiteral("e2e_newapp_a: goodbye after 1 greetings")), 1);
        QVERIFY2(!r.outText().contains(QStringLiteral("LuaMsgHandler")), r.out.constData());
        QCOMPARE(r.status, 0);
    }

    void driverCatchesABrokenApp()
    {
        Project p;
        QVERIFY(p.newApp({QStringLiteral("e2e_newapp_b")}).status == 0);
        QByteArray module = p.read(QStringLiteral("modules/e2e_newapp_b.lua"));
        QVERIFY(module.contains("\"Hello, \""));
        module.replace("\"Hello, \"", "\"Hi, \"");
        p.install.writeFile(QStringLiteral("modules/e2e_newapp_b.lua"), module);
        const Run r = p.runWithDriver(QStringLiteral("e2e_newapp_b"));
        QVERIFY2(r.finished, r.out.constData());
        QVERIFY2(r.outText().contains(QStringLiteral("FAIL greets by name: the greeting is Hi, Ada\n0 passed, 1 failed\n")),
                 r.out.constData());
        QCOMPARE(r.status, 1);
    }

    // The README's tutorial, as a new user copies it: its module runs, its
    // driver passes through orvane-test and the linter finds nothing.
    void readmeTutorialWorks()
    {
        Project p;
        QFile readme(sourcePath(QStringLiteral("README.md")));
        QVERIFY(readme.open(QFile::ReadOnly));
        const QString text = QString::fromUtf8(readme.readAll());
        QRegularExpressionMatchIterator blocks =
            QRegularExpression(QStringLiteral("```lua\n(.*?)```"), QRegularExpression::DotMatchesEverythingOption)
                .globalMatch(text);
        QStringList lua;
        while (blocks.hasNext())
            lua.append(blocks.next().captured(1));
        QCOMPARE(lua.size(), 2);
        QVERIFY(text.contains(QStringLiteral("put this in `modules/hello.lua`")));
        QVERIFY(text.contains(QStringLiteral("`modules/hello/driver.lua`")));
        p.install.writeFile(QStringLiteral("modules/hello.lua"), lua.at(0).toUtf8());
        p.install.writeFile(QStringLiteral("modules/hello/driver.lua"), lua.at(1).toUtf8());

        const Run test = runProcess(sourcePath(QStringLiteral("tools/orvane-test")),
                                    {QStringLiteral("--host"), p.exe, QStringLiteral("modules/hello/driver.lua")},
                                    p.install.root(), 90000);
        QVERIFY2(test.finished && test.status == 0, test.out.constData());
        QCOMPARE(test.outText(), QStringLiteral("PASS panel shown\nPASS counts a touch\n2 passed, 0 failed\n"));
        const Run lint = runProcess(p.install.path(QStringLiteral("tools/orvane-lint")),
                                    {QStringLiteral("--no-color"), QStringLiteral("modules/hello.lua"),
                                     QStringLiteral("modules/hello")},
                                    p.install.root());
        QVERIFY2(lint.finished && lint.status == 0, lint.out.constData());
    }

    void refusesBadNamesAndExistingApps()
    {
        Project p;
        for (const QString &bad : {QStringLiteral("9lives"), QStringLiteral("a-b"), QStringLiteral("a.b"),
                                   QStringLiteral("")}) {
            const Run r = p.newApp({bad});
            QCOMPARE(r.status, 2);
            QVERIFY(!QFileInfo::exists(p.install.path(QStringLiteral("modules/%1.lua").arg(bad))));
        }
        QCOMPARE(p.newApp({}).status, 2);
        QCOMPARE(p.newApp({QStringLiteral("x"), QStringLiteral("y")}).status, 2);

        p.install.writeFile(QStringLiteral("modules/e2e_newapp_c.lua"), "-- mine\n");
        const Run r = p.newApp({QStringLiteral("e2e_newapp_c")});
        QCOMPARE(r.status, 1);
        QVERIFY(r.err.contains("exists already"));
        QCOMPARE(p.read(QStringLiteral("modules/e2e_newapp_c.lua")), QByteArray("-- mine\n"));
        QVERIFY(!QFileInfo::exists(p.install.path(QStringLiteral("modules/e2e_newapp_c/driver.lua"))));
    }
};

QTEST_GUILESS_MAIN(NewAppTest)
#include "newapp.moc"
