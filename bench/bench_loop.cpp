// The event loop's two hot roads into a script, each beside a native Qt
// program doing the same work in the same run:
//   timer: a 0 ms Timer whose onTimeout counts its calls, against a 0 ms
//          QTimer whose slot counts; one case is 1000 expiries through the
//          event loop;
//   touch: touch to frame: a left press sent through Qt reaches onTouchPress,
//          the handler remembers where and calls update, and the case ends
//          when the next onPaint has drawn; against a C++ widget doing the
//          same in mousePressEvent and paintEvent.
//
//   bench_loop [google benchmark options]
//   bench_loop --mode=CASE --iterations=N   only that loop, for callgrind;
//       timer cases run N expiries, touch cases N / 100 frames
//   bench_loop --list-pairs
#include "luax.h"
#include "tracker.h"
#include "pairs.h"

#include <QApplication>
#include <QEventLoop>
#include <QMouseEvent>
#include <QPainter>
#include <QTimer>
#include <QWidget>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_TOGGLE_COLLECT
#endif

namespace {

constexpr int kExpiriesPerCase = 1000;
constexpr int kWidth = 320;
constexpr int kHeight = 240;

// Shared by both sides: the end of a run of expiries, and of a frame.
QEventLoop *running = nullptr;
long framesDone = 0;

int lfinished(lua_State *)
{
    running->quit();
    return 0;
}

int lframed(lua_State *)
{
    ++framesDone;
    return 0;
}

// The same frame the script paints: a dark field and a marker where the
// last press was.
class NativePad : public QWidget {
public:
    NativePad()
    {
        setGeometry(kWidth + 10, 0, kWidth, kHeight);
        show();
    }

protected:
    void mousePressEvent(QMouseEvent *e) override
    {
        if (e->button() != Qt::LeftButton)
            return;
        px = e->pos().x();
        py = e->pos().y();
        ++presses;
        update();
    }
    void paintEvent(QPaintEvent *) override
    {
        QPainter p(this);
        p.fillRect(QRect(0, 0, kWidth, kHeight), QColor(0x20, 0x20, 0x20));
        p.fillRect(QRect(px - 8, py - 8, 16, 16), QColor(0xff, 0xcc, 0x00));
        ++framesDone;
    }

private:
    int px = 0, py = 0;
    int presses = 0;
};

const char kScript[] = R"lua(
local finished, framed = ...
-- Counted in locals, as the native slot counts in members: globals would add
-- the script's own table lookups to what is measured.
local count, target = 0, 0
timer = qt.Timer.create()
timer:setTimeout(0)
function timer:onTimeout()
  count = count + 1
  if count >= target then
    self:stop()
    finished()
  end
end
function arm(expiries)
  target = count + expiries
  timer:start()
end

local px, py, presses = 0, 0, 0
pad = qt.Widget.create()
pad:setGeometry(0, 0, 320, 240)
pad:show()
function MsgHandler(h, msg, x, y)
  if msg == "onTouchPress" then
    px, py, presses = x, y, presses + 1
    h:update()
  elseif msg == "onPaint" then
    local c = lcdCanvas
    c:fill(0, 0, 320, 240, 0x202020)
    c:fill(px - 8, py - 8, 16, 16, 0xffcc00)
    framed()
  end
end
)lua";

struct World {
    lua_State *L = nullptr;
    QWidget *pad = nullptr;
    NativePad nativePad;
    QTimer nativeTimer;
    long nativeCount = 0;
    long nativeTarget = 0;
    int pressIndex = 0;

    World()
    {
        pairs::QuietStdout quiet;
        L = luaX_newstate();
        luaL_requiref(L, "qt.core", luaopen_qt_core, 0);
        lua_setglobal(L, "qt");
        if (luaL_loadstring(L, kScript) != LUA_OK) {
            fprintf(stderr, "setup: %s\n", lua_tostring(L, -1));
            exit(1);
        }
        lua_pushcfunction(L, lfinished);
        lua_pushcfunction(L, lframed);
        if (lua_pcall(L, 2, 0, 0) != LUA_OK) {
            fprintf(stderr, "setup: %s\n", lua_tostring(L, -1));
            exit(1);
        }
        lua_getglobal(L, "pad");
        pad = luaX_toqobject<QWidget>(L, -1, "QWidget");
        lua_pop(L, 1);
        quiet.end();

        nativeTimer.setTimerType(Qt::PreciseTimer);
        nativeTimer.setInterval(0);
        QObject::connect(&nativeTimer, &QTimer::timeout, [this] {
            if (++nativeCount >= nativeTarget) {
                nativeTimer.stop();
                running->quit();
            }
        });
        // Both windows exposed and painted once before anything is measured.
        settle();
    }
    ~World()
    {
        // Closed first: the pad's deletion then reaches no tracker, which
        // would print its line into the benchmark's report.
        lua_close(L);
        delete pad;
    }

    static void settle()
    {
        for (int i = 0; i < 20; ++i)
            QCoreApplication::processEvents();
    }

    void timerOurs(int expiries)
    {
        lua_getglobal(L, "arm");
        lua_pushinteger(L, expiries);
        lua_call(L, 1, 0);
        QEventLoop loop;
        running = &loop;
        loop.exec();
    }
    void timerBare(int expiries)
    {
        nativeTarget = nativeCount + expiries;
        nativeTimer.start();
        QEventLoop loop;
        running = &loop;
        loop.exec();
    }

    // One press, then the event loop until that press's frame is painted.
    void touch(QWidget *target)
    {
        const QPoint at(20 + (pressIndex * 37) % (kWidth - 40), 20 + (pressIndex * 53) % (kHeight - 40));
        ++pressIndex;
        const long before = framesDone;
        QMouseEvent press(QEvent::MouseButtonPress, at, target->mapToGlobal(at), Qt::LeftButton, Qt::LeftButton,
                          Qt::NoModifier);
        QCoreApplication::sendEvent(target, &press);
        QMouseEvent release(QEvent::MouseButtonRelease, at, target->mapToGlobal(at), Qt::LeftButton, Qt::NoButton,
                            Qt::NoModifier);
        while (framesDone == before)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        // The release ends the touch; the next case starts from no button held.
        QCoreApplication::sendEvent(target, &release);
    }
    void touchOurs() { touch(pad); }
    void touchBare() { touch(&nativePad); }
};

World *world = nullptr;

void BM_timer_ours(benchmark::State &state)
{
    for (auto _ : state)
        world->timerOurs(kExpiriesPerCase);
    state.SetItemsProcessed(state.iterations() * kExpiriesPerCase);
}
void BM_timer_bare(benchmark::State &state)
{
    for (auto _ : state)
        world->timerBare(kExpiriesPerCase);
    state.SetItemsProcessed(state.iterations() * kExpiriesPerCase);
}
void BM_touch_ours(benchmark::State &state)
{
    for (auto _ : state)
        world->touchOurs();
}
void BM_touch_bare(benchmark::State &state)
{
    for (auto _ : state)
        world->touchBare();
}

BENCHMARK(BM_timer_ours)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_timer_bare)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_touch_ours)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_touch_bare)->Unit(benchmark::kMicrosecond);

int runMode(const std::string &mode, long iterations)
{
    const long frames = std::max(1L, iterations / 100);
    if (mode == "timer-ours") {
        CALLGRIND_TOGGLE_COLLECT;
        world->timerOurs(int(iterations));
        CALLGRIND_TOGGLE_COLLECT;
    } else if (mode == "timer-bare") {
        CALLGRIND_TOGGLE_COLLECT;
        world->timerBare(int(iterations));
        CALLGRIND_TOGGLE_COLLECT;
    } else if (mode == "touch-ours") {
        CALLGRIND_TOGGLE_COLLECT;
        for (long i = 0; i < frames; ++i)
            world->touchOurs();
        CALLGRIND_TOGGLE_COLLECT;
    } else if (mode == "touch-bare") {
        CALLGRIND_TOGGLE_COLLECT;
        for (long i = 0; i < frames; ++i)
            world->touchBare();
        CALLGRIND_TOGGLE_COLLECT;
    } else {
        fprintf(stderr, "unknown mode %s\n", mode.c_str());
        return 2;
    }
    printf("%s %ld\n", mode.c_str(), iterations);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    pairs::Args args;
    if (!pairs::parseArgs(argc, argv, "timer\ntouch", args))
        return 0;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    World w;
    world = &w;
    const int status = pairs::run(argc, argv, args, runMode);
    world = nullptr;
    return status;
}
