// Where the host finds its installed files: beside the executable, one and
// two levels up, then the compiled-in copies; and the end of the run when a
// file is nowhere. The host keeps running after its lookups, so its "-df"
// log is read while it runs and the host is then killed.
#include "testsupport.h"

#include <QDir>
#include <QProcess>
#include <QtTest>

using namespace testsupport;

namespace {

QByteArray fileText(const QString &path)
{
    QFile f(path);
    return f.open(QFile::ReadOnly) ? f.readAll() : QByteArray();
}

QString quoted(const QString &text) { return QLatin1Char('"') + text + QLatin1Char('"'); }

// The lines of one lookup, from its "findResource" line to its "found" line.
QStringList lookup(const QStringList &log, const QString &name)
{
    const int start = log.indexOf(QLatin1String("Debug: findResource ") + quoted(name));
    if (start < 0)
        return {};
    const int found = lineIndex(log, QStringLiteral("Debug: found "), start);
    return found < 0 ? QStringList() : log.mid(start, found - start + 1);
}

QStringList expectedLookup(const QString &appDir, const QString &name, int tries, const QString &found)
{
    const QStringList dirs{appDir, appDir + QLatin1String("/.."), appDir + QLatin1String("/../.."),
                           QStringLiteral(":")};
    QStringList expected{QLatin1String("Debug: findResource ") + quoted(name)};
    for (int i = 0; i < tries; ++i)
        expected << QLatin1String("Debug: try ") + quoted(dirs.at(i));
    return expected << QLatin1String("Debug: found ") + quoted(found);
}

} // namespace

class Resources : public QObject
{
    Q_OBJECT

private slots:
    void lookupOrder_data();
    void lookupOrder();
    void cannotFindEndsWithStatus1();
};

void Resources::lookupOrder_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QStringList>("dirs");
    QTest::addColumn<int>("tries");
    QTest::addColumn<QString>("found"); // relative to the installation root, or a resource path

    const QString css = QStringLiteral("stylesheet.css");
    QTest::newRow("beside the executable wins")
        << css << QStringList{QStringLiteral("a/b/stylesheet.css"), QStringLiteral("a/stylesheet.css")} << QStringList()
        << 1 << QStringLiteral("a/b/stylesheet.css");
    QTest::newRow("one level up") << css << QStringList{QStringLiteral("a/stylesheet.css"), css} << QStringList() << 2
                                  << QStringLiteral("a/stylesheet.css");
    QTest::newRow("two levels up, third try")
        << QStringLiteral("images/splash.png") << QStringList{QStringLiteral("images/splash.png")} << QStringList()
        << 3 << QStringLiteral("images/splash.png");
    QTest::newRow("directory of that name skipped")
        << css << QStringList{QStringLiteral("a/stylesheet.css")} << QStringList{QStringLiteral("a/b/stylesheet.css")}
        << 2 << QStringLiteral("a/stylesheet.css");
    QTest::newRow("compiled-in copy last") << QStringLiteral("fonts/digital-7 (italic).ttf") << QStringList()
                                           << QStringList{QStringLiteral("a/b/fonts/digital-7 (italic).ttf")} << 4
                                           << QStringLiteral(":/fonts/digital-7 (italic).ttf");
}

void Resources::lookupOrder()
{
    QFETCH(QString, name);
    QFETCH(QStringList, files);
    QFETCH(QStringList, dirs);
    QFETCH(int, tries);
    QFETCH(QString, found);

    static int row = 0;
    const QString module = QStringLiteral("resources_%1_%2").arg(++row).arg(QCoreApplication::applicationPid());
    Install install;
    QVERIFY(install.isValid());
    const QString exe = install.addHost(QStringLiteral("a/b/orvane"));
    install.writeFile(QLatin1String("modules/") + module + QLatin1String(".lua"), "function MsgHandler() end\n");
    for (const QString &file : files)
        install.copyFrom(sourcePath(QLatin1String("resources/") + QFileInfo(file).fileName()), file);
    for (const QString &dir : dirs)
        install.mkdir(dir);

    QTemporaryDir work;
    QProcess host;
    host.setProcessEnvironment(childEnvironment());
    host.setWorkingDirectory(work.path());
    host.setStandardOutputFile(QProcess::nullDevice());
    host.setStandardErrorFile(QProcess::nullDevice());
    host.start(exe, {module, QStringLiteral("-df")});

    const QString logPath = work.filePath(module + QLatin1String(".log.txt"));
    const QString last = QStringLiteral("Debug: findResource \"fonts/digital-7 (mono italic).ttf\"");
    QTRY_VERIFY_WITH_TIMEOUT(fileText(logPath).contains(last.toUtf8()), 20000);
    QTRY_VERIFY(!lookup(lines(fileText(logPath)), name).isEmpty());
    host.kill();
    host.waitForFinished(5000);

    const QStringList log = lines(fileText(logPath));
    const QString root = QDir(install.root()).canonicalPath();
    const QString appDir = root + QLatin1String("/a/b");
    const QString foundPath = found.startsWith(QLatin1Char(':')) ? found : root + QLatin1Char('/') + found;
    QCOMPARE(lookup(log, name), expectedLookup(appDir, name, tries, foundPath));

    // Every installed file is looked up once, in the start-up's order.
    QStringList names;
    for (const QString &line : log)
        if (line.startsWith(QLatin1String("Debug: findResource ")))
            names << line.mid(20);
    QCOMPARE(names, QStringList({quoted(QStringLiteral("images/splash.png")), quoted(QStringLiteral("stylesheet.css")),
                                 quoted(QStringLiteral("fonts/digital-7.ttf")),
                                 quoted(QStringLiteral("fonts/digital-7 (italic).ttf")),
                                 quoted(QStringLiteral("fonts/digital-7 (mono).ttf")),
                                 quoted(QStringLiteral("fonts/digital-7 (mono italic).ttf"))}));
}

void Resources::cannotFindEndsWithStatus1()
{
    Install install;
    const QString finder = QStringLiteral("x/finder");
    install.copyFrom(driverBinary(QStringLiteral("findresource_driver")), finder);
    QVERIFY(QFile::setPermissions(install.path(finder), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    const QString appDir = QDir(install.root()).canonicalPath() + QLatin1String("/x");

    const Run run = runProcess(install.path(finder), {QStringLiteral("no-such.file")}, install.root());
    QVERIFY(run.finished);
    QVERIFY(!run.crashed);
    QCOMPARE(run.status, 1);
    const QStringList out = lines(run.out);
    const int first = lineIndex(out, QStringLiteral("Debug: findResource"));
    QVERIFY2(first >= 0, run.out.constData());
    QStringList expected = expectedLookup(appDir, QStringLiteral("no-such.file"), 4, QString());
    expected.removeLast();
    expected << QLatin1String("Box: finder: Cannot find no-such.file\\n\\nPlease try reinstalling\\n\\nApplication path: ")
                    + appDir;
    QCOMPARE(out.mid(first, expected.size()), expected);
    QVERIFY2(!run.out.contains("Result:"), "findResource returned");

    // The same driver finds a compiled-in file and returns it: the failure
    // above is the lookup's, not the driver's.
    const Run ok = runProcess(install.path(finder), {QStringLiteral("stylesheet.css")}, install.root());
    QCOMPARE(ok.status, 0);
    QVERIFY2(ok.out.contains("Result: :/stylesheet.css\n"), ok.out.constData());
}

QTEST_GUILESS_MAIN(Resources)
#include "resources.moc"
