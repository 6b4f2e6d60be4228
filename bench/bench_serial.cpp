// Serial receive throughput: bytes delivered to a script's read() (a
// SerialPort with a Lua MsgHandler) against a native QSerialPort reader on
// the main thread, each on a fresh socat pseudo-terminal pair that a thread
// of its own feeds at full speed. Prints both figures and their ratio.
//
//   bench_serial [MiB per run, default 64] [rounds, default 5]
//
// Exit status: 0 when the ratio meets its target, 3 when it misses it,
// 1 when the bytes received differed from those sent or a line failed.
//
// Both readers hand every chunk to the same checker, which compares it with
// the pattern sent and counts it; each figure is the best of its rounds,
// readers taking turns.
#include "comms/serial.h"
#include "luax.h"
#include "standalone.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <thread>
#include <vector>

namespace {

const double kTarget = 0.8;
const int kChunk = 64 * 1024;

FILE *report = stdout; // the real standard output; the host's chatter goes to /dev/null


// A pattern with every byte value, long enough not to line up with chunks.
std::vector<char> makePattern()
{
    std::vector<char> p(1024 * 1024 + 17);
    std::mt19937 random(20240601);
    for (size_t i = 0; i < p.size(); ++i)
        p[i] = char(i < 256 ? i : random() & 0xff);
    return p;
}

// Counts what a reader received and checks it against the pattern.
struct Checker {
    const std::vector<char> *pattern = nullptr;
    qint64 total = 0;
    qint64 received = 0;
    bool exact = true;

    void take(const char *data, qint64 n)
    {
        const qint64 size = qint64(pattern->size());
        qint64 done = 0;
        while (done < n && exact) {
            const qint64 offset = (received + done) % size;
            const qint64 len = std::min(n - done, size - offset);
            exact = memcmp(data + done, pattern->data() + offset, size_t(len)) == 0;
            done += len;
        }
        received += n;
        if (received >= total)
            QCoreApplication::exit(0);
    }
};

Checker checker;

// The pair and the feeding thread for one run.
class Line {
public:
    Line()
    {
        a = dir.filePath(QStringLiteral("a"));
        b = dir.filePath(QStringLiteral("b"));
        socat.start(QStringLiteral("socat"), { "-b", "65536", "pty,raw,echo=0,link=" + a, "pty,raw,echo=0,link=" + b });
    }
    ~Line()
    {
        if (feeder.joinable())
            feeder.join();
        if (fd >= 0)
            ::close(fd);
        socat.kill();
        socat.waitForFinished(5000);
    }
    bool ready()
    {
        if (!socat.waitForStarted(5000))
            return false;
        QElapsedTimer wait;
        wait.start();
        while (!(QFileInfo::exists(a) && QFileInfo::exists(b))) {
            if (wait.elapsed() > 10000)
                return false;
            QThread::msleep(5);
        }
        fd = ::open(QFile::encodeName(b).constData(), O_WRONLY | O_NOCTTY);
        return fd >= 0;
    }
    void feed(const std::vector<char> &pattern, qint64 total)
    {
        feeder = std::thread([this, &pattern, total] {
            const qint64 size = qint64(pattern.size());
            qint64 sent = 0;
            while (sent < total) {
                const qint64 offset = sent % size;
                const qint64 n = std::min({ qint64(kChunk), total - sent, size - offset });
                const ssize_t w = ::write(fd, pattern.data() + offset, size_t(n));
                if (w < 0 && errno != EINTR)
                    return;
                if (w > 0)
                    sent += w;
            }
        });
    }

    QTemporaryDir dir;
    QProcess socat;
    QString a, b;
    int fd = -1;
    std::thread feeder;
};

// Runs one reader until it has everything; returns MiB/s or -1.
double measure(const std::function<bool(const QString &)> &open, const std::function<void()> &close,
    const std::vector<char> &pattern, qint64 total)
{
    Line line;
    if (!line.ready())
        return -1;
    checker = Checker { &pattern, total, 0, true };
    if (!open(line.a))
        return -1;
    // The reader's open is done (or queued ahead of the first byte) before
    // the feeder starts, so no byte reaches a line nobody has open.
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [] { QCoreApplication::exit(1); });
    watchdog.start(120000);
    QElapsedTimer clock;
    QTimer::singleShot(50, [&] {
        clock.start();
        line.feed(pattern, total);
    });
    QCoreApplication::exec();
    const double seconds = clock.nsecsElapsed() / 1e9;
    close();
    if (!checker.exact || checker.received != total)
        return -1;
    return double(total) / (1024.0 * 1024.0) / seconds;
}

int lsink(lua_State *L)
{
    size_t len = 0;
    const char *data = luaL_checklstring(L, 1, &len);
    checker.take(data, qint64(len));
    return 0;
}

const char kScriptReader[] = R"lua(
local serial = require "serial.core"
port = serial.SerialPort.create()
function MsgHandler(obj, msg)
  if msg == "onReadyRead" then
    sink(obj:read())
  elseif msg == "onError" then
    failed = true
  end
end
)lua";

} // namespace

int main(int argc, char **argv)
{
    if (standalone::answeredBenchmarkProbe(argc, argv))
        return 0;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    const qint64 mib = argc > 1 ? qMax(64, atoi(argv[1])) : 64;
    const int rounds = argc > 2 ? qMax(1, atoi(argv[2])) : 5;

    report = standalone::quietHost();
    if (!report)
        return 2;

    QApplication app(argc, argv);

    lua_State *L = luaX_newstate();
    luaL_requiref(L, "qt.core", luaopen_qt_core, 0);
    luaL_requiref(L, "serial.core", luaopen_serial_core, 0);
    lua_settop(L, 0);
    lua_register(L, "sink", lsink);
    if (luaL_loadstring(L, kScriptReader) != LUA_OK || lua_pcall(L, 0, 0, 0) != LUA_OK) {
        fprintf(report, "script reader: %s\n", lua_tostring(L, -1));
        return 2;
    }

    auto callPort = [L](const char *method, const QString *name) {
        lua_getglobal(L, "port");
        lua_getfield(L, -1, method);
        lua_insert(L, -2);
        int nargs = 1;
        if (name) {
            const QByteArray n = name->toUtf8();
            lua_pushlstring(L, n.constData(), size_t(n.size()));
            ++nargs;
        }
        const bool ok = lua_pcall(L, nargs, 0, 0) == LUA_OK;
        lua_settop(L, 0);
        return ok;
    };
    auto scriptFailed = [L] {
        lua_getglobal(L, "failed");
        const bool failed = lua_toboolean(L, -1);
        lua_pop(L, 1);
        return failed;
    };

    QSerialPort native;
    QObject::connect(&native, &QSerialPort::readyRead, [&native] {
        const QByteArray data = native.readAll();
        checker.take(data.constData(), data.size());
    });
    auto openNative = [&native](const QString &name) {
        native.setPortName(name);
        native.setBaudRate(38400);
        native.setDataBits(QSerialPort::Data8);
        native.setParity(QSerialPort::OddParity);
        native.setStopBits(QSerialPort::OneStop);
        return native.open(QIODevice::ReadWrite);
    };

    const std::vector<char> pattern = makePattern();
    const qint64 total = mib * 1024 * 1024;
    double nativeRate = -1, scriptRate = -1;
    bool failed = false;
    for (int r = 0; r < rounds; ++r) {
        const double n = measure(
            openNative, [&native] { native.close(); }, pattern, total);
        const double s = measure([&](const QString &name) { return callPort("open", &name); },
            [&] { callPort("close", nullptr); }, pattern, total);
        if (n < 0 || s < 0 || scriptFailed())
            failed = true;
        nativeRate = std::max(nativeRate, n);
        scriptRate = std::max(scriptRate, s);
    }

    const double ratio = nativeRate > 0 ? scriptRate / nativeRate : 0;
    fprintf(report, "bench_serial: %lld MiB per run through a socat pty pair, best of %d rounds\n",
        static_cast<long long>(mib), rounds);
    fprintf(report, "%-32s native %10.1f  script %10.1f MiB/s  ratio %.2f (target >= %.1f)%s\n", "receive into read()",
        nativeRate, scriptRate, ratio, kTarget, ratio >= kTarget ? "" : "  BELOW TARGET");
    if (failed)
        fprintf(report, "bench_serial: bytes received differed from those sent, or a line failed\n");
    fflush(report);

    callPort("destroy", nullptr);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    lua_close(L);
    if (failed)
        return 1;
    return ratio >= kTarget ? 0 : 3;
}
