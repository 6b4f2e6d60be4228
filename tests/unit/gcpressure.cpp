// Garbage-collection pressure: handles of every owned class are made and
// dropped by the hundred thousand, widgets by the ten thousand. Afterwards
// the object map and the tracker are back at their baseline sizes and the
// resident memory has not grown past half again its baseline.
#include "luafixture.h"
#include "internals.h"
#include "luax.h"
#include "tracker.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTest>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

using testsupport::LuaFixture;

namespace {

int settle(lua_State *)
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return 0;
}

#if defined(__SANITIZE_ADDRESS__)
// AddressSanitizer keeps freed blocks in its quarantine and its allocator
// never hands pages back, so resident memory says nothing about leaks
// there: LeakSanitizer judges those, and only the map and tracker sizes
// are compared.
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// Sanitizer builds run several times slower: the counts shrink by a divisor
// (ORVANE_GC_DIVISOR, or 10 under AddressSanitizer) to stay near a minute.
int divisor()
{
    const int fromEnv = qEnvironmentVariableIntValue("ORVANE_GC_DIVISOR");
    if (fromEnv > 0)
        return fromEnv;
    return kSanitized ? 10 : 1;
}

// Freed heap pages that the allocator keeps are not ours; they go back
// before each reading, so growth means memory still in use.
long residentKiB()
{
    malloc_trim(0);
    FILE *f = fopen("/proc/self/statm", "r");
    if (!f)
        return -1;
    long size = 0;
    long resident = -1;
    if (fscanf(f, "%ld %ld", &size, &resident) != 2)
        resident = -1;
    fclose(f);
    return resident < 0 ? -1 : resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// The peak resident size since the last reset (VmHWM; writing 5 to
// clear_refs resets it), so the growth between collections shows too.
void resetPeak()
{
    if (FILE *f = fopen("/proc/self/clear_refs", "w")) {
        fputs("5", f);
        fclose(f);
    }
}

long peakKiB()
{
    FILE *f = fopen("/proc/self/status", "r");
    if (!f)
        return -1;
    char line[256];
    long peak = -1;
    while (fgets(line, sizeof line, f))
        if (sscanf(line, "VmHWM: %ld", &peak) == 1)
            break;
    fclose(f);
    return peak;
}

// Bytes the allocator has handed out and not had back (0 where a
// sanitizer's allocator replaces it).
long heapKiB()
{
    return long(mallinfo2().uordblks / 1024);
}

// The churn of one class: make a handle, use it a little, drop it.
struct Churn {
    const char *name;
    int count;
    const char *body; // Lua statements run count times
    int settleEvery; // process deferred deletes this often (0: never)
};

// Per-object trace lines (deletions, collections) go to /dev/null while a
// churn runs: collecting them would itself raise the peak being measured.
class SilencedStdout {
public:
    SilencedStdout()
    {
        fflush(stdout);
        saved = dup(STDOUT_FILENO);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        close(null);
    }
    ~SilencedStdout()
    {
        fflush(stdout);
        dup2(saved, STDOUT_FILENO);
        close(saved);
    }

private:
    int saved;
};

// Debug lines that constructors print once per object would flood the log.
void quietDebug(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type != QtDebugMsg && type != QtInfoMsg)
        fprintf(stderr, "%s\n", qPrintable(message));
}

} // namespace

class GcPressureTest : public QObject {
    Q_OBJECT

    LuaFixture *lua = nullptr;
    int mapBaseline = 0;
    int trackedBaseline = 0;
    long rssBaseline = 0;
    long heapBaseline = 0;
    QByteArray rows;

    int objectMapSize()
    {
        lua_State *L = lua->L;
        int n = 0;
        lua_pushnil(L);
        while (lua_next(L, LUA_REGISTRYINDEX)) {
            lua_pop(L, 1);
            if (lua_type(L, -1) == LUA_TLIGHTUSERDATA)
                ++n;
        }
        return n;
    }

    int trackedCount() { return TestAccess::trackedCount(ObjectTracker::instance(lua->L)); }

    void collect()
    {
        QCOMPARE(lua->run("collectgarbage() collectgarbage()"), QString());
        settle(lua->L);
        QCOMPARE(lua->run("collectgarbage()"), QString());
    }

    QString churn(const Churn &c, int count)
    {
        const QByteArray code = "for i = 1, " + QByteArray::number(count) + " do\n" + c.body + "\n"
            + (c.settleEvery ? "if i % " + QByteArray::number(c.settleEvery) + " == 0 then settle() end\n" : "")
            + "end\nsettle()";
        SilencedStdout quiet;
        QtMessageHandler previous = qInstallMessageHandler(quietDebug);
        const QString error = lua->run(code);
        qInstallMessageHandler(previous);
        return error;
    }

    static QVector<Churn> churns()
    {
        const int d = divisor();
        return {
            { "Image", 100000 / d, "local image = qt.Image.create(16, 16) image:size()", 0 },
            { "QFont", 100000 / d, "local font = qt.QFont.create() font:setFont(11, 'bold')", 0 },
            { "QPainter on an image", 100000 / d,
                "local p = qt.QPainter.create(qt.Image.create(8, 8)) p:fill(0, 0, 8, 8, 'red')", 0 },
            { "ElapsedTimer", 100000 / d, "local t = qt.ElapsedTimer.create() t:elapsed()", 0 },
            { "Timer", 100000 / d, "local t = qt.Timer.create() t:setTimeout(5) t:destroy()", 1000 },
            { "Widget", 10000 / d, "local w = qt.Widget.create() w:setGeometry(0, 0, 20, 20) w:destroy()", 500 },
            // A destroyed socket waits for the next turn of the loop, and each holds
            // its buffers (about 17 KiB) until then: the loop turns every 250.
            { "TcpSocket (create, destroy)", 50000 / d, "qt.TcpSocket.create():destroy()", 250 },
        };
    }

private slots:
    void initTestCase()
    {
        lua = new LuaFixture;
        lua_register(lua->L, "settle", settle);
        QCOMPARE(lua->run("function MsgHandler() return 0 end"), QString());
        // Warm-up: first-use caches (fonts, pixmap pools, the tracker) are
        // not growth; the baseline is taken after one small round.
        for (const Churn &c : churns())
            QCOMPARE(churn(c, qMax(1, c.count / 20)), QString());
        collect();
        mapBaseline = objectMapSize();
        trackedBaseline = trackedCount();
        rssBaseline = residentKiB();
        heapBaseline = heapKiB();
        QVERIFY(rssBaseline > 0);
        printf("gc pressure baseline: object map %d, tracked %d, resident %ld KiB, heap in use %ld KiB "
               "(count divisor %d)\n",
            mapBaseline, trackedBaseline, rssBaseline, heapBaseline, divisor());
        fflush(stdout);
    }

    void cleanupTestCase()
    {
        printf("%s", rows.constData());
        fflush(stdout);
        delete lua;
    }

    void handlesGoBack_data()
    {
        QTest::addColumn<int>("index");
        const QVector<Churn> all = churns();
        for (int i = 0; i < all.size(); ++i)
            QTest::newRow(all[i].name) << i;
    }

    void handlesGoBack()
    {
        QFETCH(int, index);
        const Churn c = churns().at(index);
        const long before = residentKiB();
        QElapsedTimer clock;
        clock.start();
        resetPeak();
        QCOMPARE(churn(c, c.count), QString());
        const long peak = peakKiB();
        collect();
        const long after = residentKiB();
        const long heap = heapKiB();
        const int map = objectMapSize();
        const int tracked = trackedCount();
        char row[512];
        snprintf(row, sizeof row,
            "gc pressure: %-22s %7d handles, %6lld ms, resident %ld -> %ld KiB "
            "(peak %ld, baseline %ld), heap in use %ld KiB (baseline %ld), object map %d (baseline %d), "
            "tracked %d (baseline %d)\n",
            c.name, c.count, qlonglong(clock.elapsed()), before, after, peak, rssBaseline, heap, heapBaseline, map,
            mapBaseline, tracked, trackedBaseline);
        rows += row;
        QCOMPARE(map, mapBaseline);
        QCOMPARE(tracked, trackedBaseline);
        if (kSanitized)
            return;
        QVERIFY2(after * 2 <= rssBaseline * 3,
            qPrintable(QStringLiteral("resident %1 KiB, baseline %2 KiB").arg(after).arg(rssBaseline)));
        // Dropped handles must go at about the pace they are made, not pile up
        // until the collector happens to notice.
        QVERIFY2(peak * 2 <= rssBaseline * 3,
            qPrintable(QStringLiteral("peak %1 KiB, baseline %2 KiB").arg(peak).arg(rssBaseline)));
        if (heapBaseline > 0)
            QVERIFY2(heap * 2 <= heapBaseline * 3,
                qPrintable(QStringLiteral("heap %1 KiB, baseline %2 KiB").arg(heap).arg(heapBaseline)));
    }
};

QTEST_MAIN(GcPressureTest)
#include "gcpressure.moc"
