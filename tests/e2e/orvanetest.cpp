// tools/orvane-test on real drivers: only results reach its output, each
// script error once with its file, line and count, the summary, the exit
// status, and a JUnit report that says the same.
#include "testsupport.h"

#include <QFile>
#include <QTest>
#include <QXmlStreamReader>

using namespace testsupport;

namespace {

// A press on inner is not taken, so it is offered to outer, rootWidget and
// the main window in turn: the handler's error happens once per receiver.
const QByteArray kModule = R"LUA(
local qt = require "qt.core"
function MsgHandler(h, msg, ...)
  if msg == "onStartup" then
    outer = qt.QWidget.create(rootWidget)
    outer:setName("outer")
    outer:setGeometry(0, 0, 200, 200)
    inner = qt.QWidget.create(outer)
    inner:setName("inner")
    inner:setGeometry(10, 10, 50, 50)
    button = qt.PushButton.create(rootWidget)
    button:setName("button")
    button:setGeometry(300, 10, 80, 40)
    outer:show() inner:show() button:show()
  elseif msg == "onTouchPress" and h ~= button then
    local nothing
    return nothing.field
  elseif msg == "onClick" then
    error("the button is broken")
  end
end
)LUA";

struct Tool {
    Install install;
    QString exe;
    Tool()
    {
        exe = install.addHost(QStringLiteral("app/bin/orvane"));
        install.writeFile(QStringLiteral("modules/e2e_ot.lua"), kModule);
    }
    Run run(const QStringList &args)
    {
        QStringList all { QStringLiteral("--host"), exe, QStringLiteral("--module"), QStringLiteral("e2e_ot"),
            QStringLiteral("--junit"), install.path(QStringLiteral("report.xml")) };
        return runProcess(sourcePath(QStringLiteral("tools/orvane-test")), all + args, install.root(), 120000);
    }
    QString driver(const QString &name, const QByteArray &text)
    {
        install.writeFile(name, "local t = require 'orvane.test'\n" + text);
        return name;
    }
};

// testsuite name -> its attributes, and every testcase's name with the
// kind of its failure ("" when it passed).
struct Report {
    QMap<QString, QXmlStreamAttributes> suites;
    QStringList cases;
    QString systemErr;
    bool valid = false;
};

Report readReport(const QString &path)
{
    Report r;
    QFile f(path);
    if (!f.open(QFile::ReadOnly))
        return r;
    QXmlStreamReader xml(&f);
    QString suite, testcase;
    while (!xml.atEnd()) {
        xml.readNext();
        if (!xml.isStartElement())
            continue;
        if (xml.name() == QLatin1String("testsuite")) {
            suite = xml.attributes().value(QLatin1String("name")).toString();
            r.suites.insert(suite, xml.attributes());
        } else if (xml.name() == QLatin1String("testcase")) {
            testcase = xml.attributes().value(QLatin1String("name")).toString();
            r.cases.append(testcase);
        } else if (xml.name() == QLatin1String("failure") || xml.name() == QLatin1String("error")) {
            r.cases.last() += QLatin1Char(' ') + xml.name().toString() + QLatin1Char(':')
                + xml.attributes().value(QLatin1String("message")).toString();
        } else if (xml.name() == QLatin1String("system-err")) {
            r.systemErr += xml.readElementText();
        }
    }
    r.valid = !xml.hasError();
    return r;
}

QString attr(const Report &r, const QString &suite, const char *name)
{
    return r.suites.value(suite).value(QLatin1String(name)).toString();
}

} // namespace

class OrvaneTestTool : public QObject {
    Q_OBJECT

private slots:
    void resultsOnlyEachErrorOnce()
    {
        Tool tool;
        const QString checks = tool.driver(QStringLiteral("checks.lua"),
            "t.tap('inner')\nt.check('one', true)\nt.check('two', 1 == 2, 'two is not one')\n");
        const QString fine = tool.driver(QStringLiteral("fine.lua"), "t.check('fine', true)\n");
        const Run r = tool.run({ checks, fine });
        QVERIFY2(r.finished, r.out.constData());
        QCOMPARE(r.status, 1);
        const QString expected = QStringLiteral(
            "== checks.lua\n"
            "PASS one\n"
            "FAIL two: two is not one\n"
            "error: modules/e2e_ot.lua:17: attempt to index a nil value (local 'nothing') in onTouchPress (4 times)\n"
            "1 passed, 1 failed\n"
            "== fine.lua\n"
            "PASS fine\n"
            "1 passed, 0 failed\n"
            "total: 2 passed, 1 failed\n");
        QCOMPARE(r.outText(), expected);

        const Report report = readReport(tool.install.path(QStringLiteral("report.xml")));
        QVERIFY(report.valid);
        QCOMPARE(report.cases,
            QStringList(
                { QStringLiteral("one"), QStringLiteral("two failure:two is not one"), QStringLiteral("fine") }));
        const QString suite = QStringLiteral("e2e_ot: checks.lua");
        QCOMPARE(attr(report, suite, "tests"), QStringLiteral("2"));
        QCOMPARE(attr(report, suite, "failures"), QStringLiteral("1"));
        QCOMPARE(attr(report, suite, "errors"), QStringLiteral("0"));
        QVERIFY2(report.systemErr.contains(QStringLiteral("attempt to index a nil value (local 'nothing') (4 times)")),
            qPrintable(report.systemErr));
    }

    void crashAndTimeOutFail()
    {
        Tool tool;
        const QString fatal = tool.driver(QStringLiteral("fatal.lua"), "t.check('before', true)\nt.tap('button')\n");
        const QString slow = tool.driver(QStringLiteral("slow.lua"), "t.wait(600000)\n");
        const Run r = tool.run({ QStringLiteral("--timeout"), QStringLiteral("10"), fatal, slow });
        QVERIFY2(r.finished, r.out.constData());
        QCOMPARE(r.status, 1);
        const QString out = r.outText();
        QVERIFY2(out.contains(
                     QStringLiteral("PASS before\n"
                                    "error: modules/e2e_ot.lua:19: the button is broken in a call that must not fail\n"
                                    "FAIL driver: the host ended with status 1 before the driver finished\n"
                                    "1 passed, 1 failed\n")),
            r.out.constData());
        QVERIFY2(out.contains(
                     QStringLiteral("FAIL driver: the host ran longer than 10 s and was stopped\n0 passed, 1 failed\n")),
            r.out.constData());
        QVERIFY(out.endsWith(QStringLiteral("total: 1 passed, 2 failed\n")));

        const Report report = readReport(tool.install.path(QStringLiteral("report.xml")));
        QVERIFY(report.valid);
        QCOMPARE(attr(report, QStringLiteral("e2e_ot: fatal.lua"), "errors"), QStringLiteral("1"));
        QCOMPARE(attr(report, QStringLiteral("e2e_ot: slow.lua"), "errors"), QStringLiteral("1"));
        QVERIFY(report.cases.contains(QStringLiteral("driver error:the host ran longer than 10 s and was stopped")));
    }
};

QTEST_GUILESS_MAIN(OrvaneTestTool)
#include "orvanetest.moc"
