// Timer and ElapsedTimer as scripts see them: expiries that reach the
// handle's onTimeout, the flags that decide repeat and single shot, the
// lifetime of handles and timers, and the stopwatch's readings.
#include "luafixture.h"
#include "luax.h"
#include "testsupport.h"
#include "timers/timer.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <memory>

using testsupport::LuaFixture;
using testsupport::StdoutCapture;

class TimersTest : public QObject {
    Q_OBJECT

    std::unique_ptr<LuaFixture> f;

    QString run(const QByteArray &code) { return f->run(code); }
    QVariant eval(const QByteArray &expression) { return f->eval(expression); }
    qlonglong num(const QByteArray &expression) { return eval(expression).toLongLong(); }

    Timer *timerOf(const char *global)
    {
        lua_getglobal(f->L, global);
        Timer *t = luaX_toqobject<Timer>(f->L, -1, "Timer");
        lua_pop(f->L, 1);
        return t;
    }

    testsupport::Run runDriver(const QByteArray &code)
    {
        return testsupport::runProcess(testsupport::driverBinary(QStringLiteral("timer_driver")),
            { QString::fromUtf8(code), QStringLiteral("5000") });
    }

private slots:
    void init() { f = std::make_unique<LuaFixture>(); }
    void cleanup() { f.reset(); }

    // Timer

    void newTimerIsStoppedRepeatingPreciseAtOneSecond()
    {
        QCOMPARE(run("t = qt.Timer.create(1, 2, 3)"), QString());
        Timer *t = timerOf("t");
        QVERIFY(t);
        QCOMPARE(t->timer->interval(), 1000);
        QVERIFY(!t->timer->isSingleShot());
        QVERIFY(!t->timer->isActive());
        QCOMPARE(t->timer->timerType(), Qt::PreciseTimer);
        QCOMPARE(t->timer->parent(), static_cast<QObject *>(t));
        QCOMPARE(eval("getmetatable(t).__classname"), QVariant(QByteArray("Timer")));
    }

    void repeatsWithoutAKeptReferenceUntilStopped()
    {
        QCOMPARE(run("count = 0\n"
                     "t = qt.Timer.create()\n"
                     "t:setTimeout(15)\n"
                     "t.onTimeout = function(self)\n"
                     "  count = count + 1\n"
                     "  if count == 4 then self:stop() end\n"
                     "end\n"
                     "t:start()"),
            QString());
        QPointer<Timer> timer = timerOf("t");
        QVERIFY(timer);
        QCOMPARE(run("t = nil; collectgarbage(); collectgarbage()"), QString());
        QTRY_COMPARE(num("count"), 4LL);
        QVERIFY(timer);
        QVERIFY(!timer->timer->isActive());
        // The object map still held the handle; closing the interpreter lets
        // its __gc delete the timer.
        f->close();
        QVERIFY(timer.isNull());
    }

    void timerExpiresSilentlyUntilAFunctionArrives()
    {
        QCOMPARE(run("hits = 0; t = qt.Timer.create(); t:setTimeout(10); t:start()"), QString());
        Timer *t = timerOf("t");
        QSignalSpy spy(t->timer, &QTimer::timeout);
        QTRY_VERIFY(spy.count() >= 2);
        QCOMPARE(num("hits"), 0LL);
        QCOMPARE(run("t.onTimeout = function(self) hits = hits + 1; last = self end"), QString());
        QTRY_VERIFY(num("hits") >= 2);
        QCOMPARE(eval("rawequal(last, t)"), QVariant(true));
        QCOMPARE(run("t:stop()"), QString());
    }

    void classFunctionServesTimersWithoutTheirOwn()
    {
        QCOMPARE(run("shared, own = 0, 0\n"
                     "function qt.Timer.onTimeout(self) shared = shared + 1 end\n"
                     "a = qt.Timer.create(); a:setTimeout(10); a:start()\n"
                     "b = qt.Timer.create(); b:setTimeout(10)\n"
                     "b.onTimeout = function() own = own + 1 end\n"
                     "b:start()"),
            QString());
        QTRY_VERIFY(num("shared") >= 2 && num("own") >= 2);
        QCOMPARE(run("a:stop(); b:stop()"), QString());
    }

    void setTimeoutRestartsARunningTimer()
    {
        // a would fire 400 ms after its start; 250 ms in, setTimeout starts a
        // new full period, so its first expiry comes no earlier than 650 ms.
        QCOMPARE(run("clock = qt.ElapsedTimer.create()\n"
                     "a = qt.Timer.create(); a:setTimeout(400)\n"
                     "a.onTimeout = function(self) firstAt = firstAt or clock:elapsed(); self:stop() end\n"
                     "b = qt.Timer.create(); b:setTimeout(250); b:setSingleShot()\n"
                     "b.onTimeout = function() resetAt = clock:elapsed(); a:setTimeout(400) end\n"
                     "a:start(); b:start()"),
            QString());
        QTRY_VERIFY_WITH_TIMEOUT(eval("firstAt").isValid(), 5000);
        QVERIFY(eval("resetAt").isValid());
        QVERIFY2(num("firstAt") >= num("resetAt") + 390, qPrintable(eval("firstAt .. ' ' .. resetAt").toString()));
    }

    void setTimeoutKeepsTheLow32Bits()
    {
        QCOMPARE(run("t = qt.Timer.create(); t:setTimeout(4294967296 + 50)"), QString());
        QCOMPARE(timerOf("t")->timer->interval(), 50);
        QCOMPARE(run("t:setTimeout(4294967296 * 3 + 7)"), QString());
        QCOMPARE(timerOf("t")->timer->interval(), 7);
        QVERIFY(run("t:setTimeout()").contains("number expected, got no value"));
        QVERIFY(run("t:setTimeout(1.5)").contains("number has no integer representation"));
        QVERIFY(run("t:setTimeout('soon')").contains("number expected, got string"));
        QCOMPARE(timerOf("t")->timer->interval(), 7);
    }

    void singleShotFlagRules()
    {
        QCOMPARE(run("t = qt.Timer.create()"), QString());
        QTimer *q = timerOf("t")->timer;
        QCOMPARE(run("t:setSingleShot()"), QString());
        QVERIFY(q->isSingleShot());
        QCOMPARE(run("t:setSingleShot(nil)"), QString());
        QVERIFY(!q->isSingleShot());
        QCOMPARE(run("t:setSingleShot(0)"), QString()); // any value but nil and false
        QVERIFY(q->isSingleShot());
        QCOMPARE(run("t:setSingleShot(false)"), QString());
        QVERIFY(!q->isSingleShot());
        QCOMPARE(run("t:setSingleShot(true)"), QString());
        QVERIFY(q->isSingleShot());
    }

    void singleShotFiresOnceWhileARepeatingOneGoesOn()
    {
        QCOMPARE(run("once, again = 0, 0\n"
                     "s = qt.Timer.create(); s:setTimeout(10); s:setSingleShot()\n"
                     "s.onTimeout = function() once = once + 1 end\n"
                     "r = qt.Timer.create(); r:setTimeout(10)\n"
                     "r.onTimeout = function(self) again = again + 1; if again == 6 then self:stop() end end\n"
                     "s:start(); r:start()"),
            QString());
        QTRY_COMPARE(num("again"), 6LL);
        QCOMPARE(num("once"), 1LL);
        QVERIFY(!timerOf("s")->timer->isActive());
    }

    void perObjectFieldsHideMethodsForOneTimerOnly()
    {
        QCOMPARE(run("a = qt.Timer.create(); b = qt.Timer.create(); a.x = 5; a.start = 1"), QString());
        QCOMPARE(eval("a.x"), QVariant(5LL));
        QCOMPARE(eval("b.x"), QVariant());
        QCOMPARE(eval("a.start"), QVariant(1LL));
        QCOMPARE(eval("type(b.start)"), QVariant(QByteArray("function")));
        QVERIFY(run("a:start()").contains("attempt to call a number value"));
        QCOMPARE(run("b:start()"), QString());
        QVERIFY(timerOf("b")->timer->isActive());
        QVERIFY(!timerOf("a")->timer->isActive());
        // Removing the field uncovers the method again.
        QCOMPARE(run("a.start = nil; a:start()"), QString());
        QVERIFY(timerOf("a")->timer->isActive());
        QCOMPARE(run("a:stop(); b:stop()"), QString());
    }

    void destroyedTimerStopsAndItsHandleDiesQuietly()
    {
        QCOMPARE(run("hits = 0; t = qt.Timer.create(); t:setTimeout(10)\n"
                     "t.onTimeout = function() hits = hits + 1 end\n"
                     "t:start()"),
            QString());
        QPointer<Timer> timer = timerOf("t");
        QTRY_VERIFY(num("hits") >= 1);
        const QString address = QString::asprintf("%p", static_cast<void *>(timer.data()));
        StdoutCapture out;
        QCOMPARE(run("t:destroy()"), QString());
        QTRY_VERIFY(timer.isNull());
        QVERIFY(out.text().contains("ObjectTracker::deleted " + address));
        const qlonglong hits = num("hits");
        QVERIFY(run("t:start()").contains("attempting to access deleted Timer"));
        // The __gc of the cleared handle must not touch the freed timer.
        QCOMPARE(run("t = nil; collectgarbage(); collectgarbage()"), QString());
        QTest::qWait(50);
        QCOMPARE(num("hits"), hits);
    }

    void wrongHandlesRaiseClassErrors()
    {
        QCOMPARE(run("t = qt.Timer.create(); e = qt.ElapsedTimer.create()"), QString());
        QVERIFY(run("qt.Timer.start(e)").contains("Timer expected, got userdata"));
        QVERIFY(run("qt.Timer.stop()").contains("Timer expected, got no value"));
        QVERIFY(run("qt.ElapsedTimer.elapsed(t)").contains("ElapsedTimer expected, got userdata"));
        QVERIFY(run("qt.ElapsedTimer.restart(nil)").contains("ElapsedTimer expected, got nil"));
    }

    void failingOnTimeoutEndsTheProcess()
    {
        const testsupport::Run r = runDriver("t = qt.Timer.create(); t:setTimeout(10)\n"
                                             "t.onTimeout = function() error('tick failed') end\n"
                                             "t:start()");
        QVERIFY(r.finished);
        QCOMPARE(r.status, 1);
        QVERIFY(r.outText().contains("Error: Call failed"));
        QVERIFY(r.outText().contains("tick failed"));
        QVERIFY(!r.outText().contains("loop ended"));
    }

    void uncallableOnTimeoutEndsTheProcess()
    {
        const testsupport::Run r = runDriver("t = qt.Timer.create(); t:setTimeout(10); t.onTimeout = 5; t:start()");
        QVERIFY(r.finished);
        QCOMPARE(r.status, 1);
        QVERIFY(r.outText().contains("Error: Call failed"));
    }

    void timerWorksInTheRealEventLoop()
    {
        // The same driver, so the two tests above fail for the right reason.
        const testsupport::Run r = runDriver("n = 0; t = qt.Timer.create(); t:setTimeout(10)\n"
                                             "t.onTimeout = function() n = n + 1; if n == 3 then quit() end end\n"
                                             "t:start()");
        QVERIFY(r.finished);
        QCOMPARE(r.status, 0);
        QVERIFY(r.outText().contains("loop ended 0"));
    }

    // ElapsedTimer

    void createLogsTheClockType()
    {
        QTest::ignoreMessage(
            QtDebugMsg, QByteArray("Clock Type " + QByteArray::number(int(QElapsedTimer::clockType()))).constData());
        QCOMPARE(run("e = qt.ElapsedTimer.create()"), QString());
        QCOMPARE(eval("e:isActive()"), QVariant(true));
        QCOMPARE(eval("math.type(e:elapsed())"), QVariant(QByteArray("integer")));
    }

    void cancelledTimerReadsNothing()
    {
        QCOMPARE(run("e = qt.ElapsedTimer.create(); e:cancel()"), QString());
        QCOMPARE(eval("e:elapsed() == nil"), QVariant(true));
        QCOMPARE(eval("e:isActive()"), QVariant(false));
        const QByteArray expected
            = "ElapsedTimer type:" + QByteArray::number(int(QElapsedTimer::clockType())) + " elapsed: 0 ms 0 ns";
        QCOMPARE(eval("tostring(e)"), QVariant(expected));
        // Restarting a cancelled timer reports no time and runs it again.
        QCOMPARE(eval("e:restart()"), QVariant(0.0));
        QCOMPARE(eval("e:isActive()"), QVariant(true));
        QCOMPARE(eval("math.type(e:elapsed())"), QVariant(QByteArray("integer")));
        QCOMPARE(run("e:cancel(); e:start()"), QString());
        QCOMPARE(eval("e:isActive()"), QVariant(true));
    }

    void restartGivesSecondsAsAFraction()
    {
        QCOMPARE(run("e = qt.ElapsedTimer.create()\n"
                     "t = qt.Timer.create(); t:setTimeout(250); t:setSingleShot()\n"
                     "t.onTimeout = function() r = e:restart(); after = e:elapsed() end\n"
                     "t:start()"),
            QString());
        QTRY_VERIFY_WITH_TIMEOUT(eval("r").isValid(), 5000);
        QCOMPARE(eval("math.type(r)"), QVariant(QByteArray("float")));
        const double r = eval("r").toDouble();
        QVERIFY2(r >= 0.245 && r < 30, qPrintable(QString::number(r)));
        // Measured from the restart, not from the create.
        QVERIFY(num("after") < num("r * 1000"));
    }

    void stringFormShowsFull64BitCounts()
    {
        QCOMPARE(run("e = qt.ElapsedTimer.create()"), QString());
        // Past 2^31 ns, where 32-bit counts would turn negative.
        QTRY_VERIFY_WITH_TIMEOUT(num("e:elapsed()") > 2200, 10000);
        const QString text = eval("tostring(e)").toString();
        const QRegularExpression form(QStringLiteral("^ElapsedTimer type:(\\d+) elapsed: (\\d+) ms (\\d+) ns$"));
        const QRegularExpressionMatch m = form.match(text);
        QVERIFY2(m.hasMatch(), qPrintable(text));
        QCOMPARE(m.captured(1).toInt(), int(QElapsedTimer::clockType()));
        const qlonglong ms = m.captured(2).toLongLong();
        const qlonglong ns = m.captured(3).toLongLong();
        QVERIFY(ms >= 2200);
        QVERIFY(ns > 2147483647LL);
        // Both read from the same start, the nanoseconds a moment later.
        QVERIFY2(ns >= ms * 1000000 && ns < (ms + 1000) * 1000000, qPrintable(text));
    }

    void elapsedTimerTakesNoFields()
    {
        QCOMPARE(run("e = qt.ElapsedTimer.create()"), QString());
        QCOMPARE(eval("e.destroy == nil and e.onTimeout == nil"), QVariant(true));
        QVERIFY(!run("e.x = 1").isEmpty());
        QCOMPARE(run("e = nil; collectgarbage(); collectgarbage()"), QString());
    }
};

QTEST_MAIN(TimersTest)
#include "timers.moc"
