// The message handler: one line per message on standard output, and the end
// of the process for critical and fatal messages. Those paths leave the
// process, so a driver sends the messages in a child and the test reads what
// it wrote and how it ended.
#include "testsupport.h"

#include <QtTest>

#include <csignal>

using namespace testsupport;

class MessageHandler : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void linePerLevel();
    void informationalWritesNothing();
    void criticalEndsWithMinusOne();
    void fatalAborts();

private:
    Run send(const QStringList &levels);
    QTemporaryDir runtimeDir;
};

void MessageHandler::initTestCase()
{
    QVERIFY(runtimeDir.isValid());
    // Qt warns about a missing runtime directory; that line is not under test.
    QVERIFY(QFile::setPermissions(runtimeDir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
}

Run MessageHandler::send(const QStringList &levels)
{
    QProcessEnvironment env = childEnvironment();
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDir.path());
    return runProcess(driverBinary(QStringLiteral("msghandler_driver")), levels, QString(), 30000, env);
}

void MessageHandler::linePerLevel()
{
    const Run run = send({QStringLiteral("debug"), QStringLiteral("warning"), QStringLiteral("qtwarning"),
                          QStringLiteral("debug")});
    QVERIFY(run.finished);
    QCOMPARE(run.status, 0);
    // Debug builds of Qt append " in FILE:LINE" to Qt's own warning.
    const QStringList got = run.outText().split(QLatin1Char('\n'));
    QCOMPARE(got.size(), 5);
    QCOMPARE(got.at(0), QStringLiteral("Debug: debug text 1"));
    QCOMPARE(got.at(1), QStringLiteral("Warning: warning text 2"));
    QVERIFY2(got.at(2).startsWith(QStringLiteral("Warning: QObject::connect: No such signal QApplication::noSuchSignal()")),
             qPrintable(got.at(2)));
    QCOMPARE(got.at(3), QStringLiteral("Debug: debug text 4"));
    QCOMPARE(got.at(4), QString());
    // Nothing of it goes to standard error.
    QVERIFY2(!run.err.contains("text"), run.err.constData());
}

void MessageHandler::informationalWritesNothing()
{
    const Run run = send({QStringLiteral("debug"), QStringLiteral("info"), QStringLiteral("debug")});
    QVERIFY(run.finished);
    QCOMPARE(run.status, 0);
    QCOMPARE(run.outText(), QStringLiteral("Debug: debug text 1\nDebug: debug text 3\n"));
    QVERIFY2(!run.err.contains("info text"), run.err.constData());
}

void MessageHandler::criticalEndsWithMinusOne()
{
    const Run run = send({QStringLiteral("debug"), QStringLiteral("critical"), QStringLiteral("debug")});
    QVERIFY(run.finished);
    QVERIFY(!run.crashed);
    QCOMPARE(run.status, 255);
    // The box is shown (and dismissed) after the line; nothing runs after it.
    QCOMPARE(run.outText(), QStringLiteral("Debug: debug text 1\n"
                                           "Critical: critical text 2\nsecond line\n"
                                           "Box: Critical Error: critical text 2\\nsecond line\n"));
}

void MessageHandler::fatalAborts()
{
    const Run run = send({QStringLiteral("warning"), QStringLiteral("fatal"), QStringLiteral("debug")});
    QVERIFY(run.finished);
    QVERIFY(run.crashed);
    QCOMPARE(run.status, int(SIGABRT));
    QCOMPARE(run.outText(), QStringLiteral("Warning: warning text 1\n"
                                           "Fatal: fatal text 2\n"
                                           "Box: Fatal Error: fatal text 2\n"));
}

QTEST_GUILESS_MAIN(MessageHandler)
#include "messagehandler.moc"
