// The application-module fuzzer: generated programs (fuzzgen.lua, run by the
// host itself so that it sees every registered class) are run by the real
// host in an installation of their own, with real input from the test
// driver. A run that crashes, hangs, panics or makes a sanitizer report is
// reduced line by line to a small program that still does, and saved with
// its seed. --replay runs saved programs, as the suite does.
//
//   scriptfuzz [--seconds N] [--jobs J] [--seed S] [--save DIR] [--timeout S]
//   scriptfuzz --replay FILE|DIR ...
#include "testsupport.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

using testsupport::Install;
using testsupport::Run;

namespace {

struct Options
{
    int seconds = 60;
    int jobs = 2;
    qint64 seed = 0;
    int timeoutMs = 20000;
    QString save = testsupport::sourcePath(QStringLiteral("tests/fuzz/regressions/scripts"));
    QStringList replay;
};

struct Totals
{
    std::atomic<qint64> programs{0}, calls{0}, handlers{0}, deletions{0}, raised{0};
};

// One installation per worker: the module name is the worker's, since the
// single-instance guard would refuse two copies of one module.
class Sandbox
{
public:
    explicit Sandbox(const QString &module) : module(module)
    {
        exe = install.addHost(QStringLiteral("app/bin/orvane"));
        for (const char *name : {"fuzzrt.lua", "fuzzgen.lua", "fuzzdrive.lua"})
            install.copyFrom(testsupport::sourcePath(QStringLiteral("tests/fuzz/scripts/") + QLatin1String(name)),
                             QStringLiteral("modules/") + QLatin1String(name));
    }

    Run runProgram(const QByteArray &text, int timeoutMs)
    {
        install.writeFile(QStringLiteral("modules/") + module + QLatin1String(".lua"), text);
        QProcessEnvironment env = testsupport::childEnvironment();
        env.insert(QStringLiteral("ORVANE_DRIVER"), install.path(QStringLiteral("modules/fuzzdrive.lua")));
        return testsupport::runProcess(exe, {module}, install.root(), timeoutMs, env);
    }

    bool generate(qint64 first, int count, const QString &dir, int timeoutMs)
    {
        QProcessEnvironment env = testsupport::childEnvironment();
        env.insert(QStringLiteral("FUZZ_GEN_SEED"), QString::number(first));
        env.insert(QStringLiteral("FUZZ_GEN_COUNT"), QString::number(count));
        env.insert(QStringLiteral("FUZZ_GEN_DIR"), dir);
        env.insert(QStringLiteral("FUZZ_MESSAGES"),
                   testsupport::sourcePath(QStringLiteral("tools/annotations/descriptions.lua")));
        // The generator is not what is judged: its own leak report would only
        // be noise.
        env.insert(QStringLiteral("ASAN_OPTIONS"), QStringLiteral("detect_leaks=0"));
        const Run r = testsupport::runProcess(exe, {QStringLiteral("fuzzgen")}, install.root(), timeoutMs, env);
        if (!r.finished || r.status != 0)
            fprintf(stderr, "scriptfuzz: the generator failed (status %d):\n%s\n", r.status, r.err.constData());
        return r.finished && r.status == 0;
    }

private:
    Install install;
    QString module;
    QString exe;
};

// What went wrong, as one line that a reduced program must reproduce; empty
// for a sound run. Status 1 (a fatal script error) and 255 (a critical Qt
// message) are endings the host promises; anything else is not.
QString verdict(const Run &r)
{
    if (!r.finished)
        return QStringLiteral("hang");
    const QString err = QString::fromLocal8Bit(r.err);
    static const QRegularExpression sanitizer(
        QStringLiteral("(ERROR: (AddressSanitizer|LeakSanitizer): [a-z-]+|runtime error: [a-z ]+|PANIC: [a-z ]+)"));
    const QRegularExpressionMatch m = sanitizer.match(err);
    if (m.hasMatch())
        return m.captured(1).trimmed();
    if (r.crashed)
        return QStringLiteral("signal %1").arg(r.status);
    if (r.status != 0 && r.status != 1 && r.status != 255)
        return QStringLiteral("status %1").arg(r.status);
    return QString();
}

void addStats(const Run &r, Totals &t)
{
    static const QRegularExpression line(
        QStringLiteral("FUZZSTATS calls=(\\d+) handlers=(\\d+) deletions=(\\d+) raised=(\\d+)"));
    const QRegularExpressionMatch m = line.match(QString::fromLocal8Bit(r.err));
    if (!m.hasMatch())
        return;
    t.calls += m.captured(1).toLongLong();
    t.handlers += m.captured(2).toLongLong();
    t.deletions += m.captured(3).toLongLong();
    t.raised += m.captured(4).toLongLong();
}

bool isOperation(const QByteArray &line)
{
    return line.startsWith('{') && line.endsWith("},");
}

// Drops operation lines, in halves, then quarters, down to single lines,
// keeping each drop after which the program still fails the same way.
QByteArray reduce(Sandbox &box, const QByteArray &program, const QString &want, int timeoutMs)
{
    QList<QByteArray> lines = program.split('\n');
    int attempts = 0;
    QElapsedTimer clock;
    clock.start();
    for (int chunk = lines.size() / 2; chunk >= 1; chunk /= 2) {
        for (int start = 0; start < lines.size(); start += chunk) {
            if (attempts >= 400 || clock.elapsed() > 15 * 60 * 1000)
                return lines.join('\n');
            QList<QByteArray> trial;
            bool dropped = false;
            for (int i = 0; i < lines.size(); ++i) {
                const bool drop = i >= start && i < start + chunk && isOperation(lines.at(i));
                dropped |= drop;
                if (!drop)
                    trial << lines.at(i);
            }
            if (!dropped)
                continue;
            ++attempts;
            if (verdict(box.runProgram(trial.join('\n'), timeoutMs)) == want) {
                lines = trial;
                start -= chunk;
            }
        }
    }
    // Handlers left without operations say nothing.
    QList<QByteArray> kept;
    for (int i = 0; i < lines.size(); ++i) {
        if (i + 1 < lines.size() && lines.at(i).endsWith(" = {") && lines.at(i + 1) == "},") {
            ++i;
            continue;
        }
        kept << lines.at(i);
    }
    return kept.join('\n');
}

int replay(const Options &o)
{
    QStringList files;
    for (const QString &path : o.replay) {
        if (QFileInfo(path).isDir()) {
            for (const QFileInfo &f : QDir(path).entryInfoList({QStringLiteral("*.lua")}, QDir::Files, QDir::Name))
                files << f.absoluteFilePath();
        } else {
            files << path;
        }
    }
    Sandbox box(QStringLiteral("fzreplay"));
    int failed = 0;
    for (const QString &path : files) {
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly)) {
            fprintf(stderr, "FAIL %s: cannot read\n", qPrintable(path));
            ++failed;
            continue;
        }
        const Run r = box.runProgram(f.readAll(), o.timeoutMs);
        const QString v = verdict(r);
        if (v.isEmpty()) {
            printf("PASS %s (status %d)\n", qPrintable(QFileInfo(path).fileName()), r.status);
        } else {
            ++failed;
            printf("FAIL %s: %s\n%s\n", qPrintable(QFileInfo(path).fileName()),
                   qPrintable(v),
                   r.err.right(4000).constData());
        }
    }
    printf("%d programs replayed, %d failed\n", int(files.size()), failed);
    return failed ? 1 : 0;
}

int fuzz(const Options &o)
{
    QDir().mkpath(QStringLiteral(ORVANE_TEST_BUILD_DIR));
    QTemporaryDir gen(QStringLiteral(ORVANE_TEST_BUILD_DIR "/scriptfuzz-XXXXXX"));
    if (!gen.isValid())
        return 2;
    Sandbox generator(QStringLiteral("fuzzgen"));
    Totals totals;
    std::mutex lock;
    std::vector<QString> found;
    const qint64 firstSeed = o.seed ? o.seed : QDateTime::currentMSecsSinceEpoch() % 1000000000;
    qint64 nextSeed = firstSeed;
    QElapsedTimer clock;
    clock.start();
    const qint64 deadline = qint64(o.seconds) * 1000;
    const int batch = 16 * o.jobs;
    printf("scriptfuzz: seeds from %lld, %d s, %d jobs\n", firstSeed, o.seconds, o.jobs);
    fflush(stdout);

    while (clock.elapsed() < deadline && found.empty()) {
        const qint64 first = nextSeed;
        nextSeed += batch;
        if (!generator.generate(first, batch, gen.path(), o.timeoutMs))
            return 2;
        std::atomic<int> next{0};
        std::vector<std::thread> workers;
        for (int w = 0; w < o.jobs; ++w) {
            workers.emplace_back([&, w] {
                Sandbox box(QStringLiteral("fz%1").arg(w));
                for (int i = next++; i < batch && clock.elapsed() < deadline; i = next++) {
                    const qint64 seed = first + i;
                    QFile f(gen.filePath(QStringLiteral("p%1.lua").arg(seed)));
                    if (!f.open(QIODevice::ReadOnly))
                        continue;
                    const QByteArray program = f.readAll();
                    const Run r = box.runProgram(program, o.timeoutMs);
                    ++totals.programs;
                    addStats(r, totals);
                    const QString v = verdict(r);
                    if (v.isEmpty())
                        continue;
                    {
                        std::lock_guard<std::mutex> g(lock);
                        printf("scriptfuzz: seed %lld: %s; reducing\n", seed, qPrintable(v));
                        fflush(stdout);
                    }
                    // Timing decides some faults; an unrepeatable one is
                    // reported as it was found.
                    const QByteArray small = verdict(box.runProgram(program, o.timeoutMs)) == v
                                                 ? reduce(box, program, v, o.timeoutMs)
                                                 : program;
                    const QString path = QDir(o.save).filePath(QStringLiteral("seed-%1.lua").arg(seed));
                    QDir().mkpath(o.save);
                    QFile out(path);
                    if (out.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
                        out.write("-- found by scriptfuzz: " + v.toUtf8() + "\n");
                        out.write(small);
                    }
                    std::lock_guard<std::mutex> g(lock);
                    printf("scriptfuzz: seed %lld saved as %s (%d of %d lines)\n", seed, qPrintable(path),
                           int(small.count('\n')), int(program.count('\n')));
                    printf("%s\n", r.err.right(6000).constData());
                    fflush(stdout);
                    found.push_back(path);
                    next = batch; // the other workers stop after their program
                }
            });
        }
        for (auto &t : workers)
            t.join();
        const double minutes = clock.elapsed() / 60000.0;
        printf("scriptfuzz: %.1f min: %lld programs, %lld calls, %lld handlers, %lld deletions in handlers, "
               "%lld errors raised\n",
               minutes, totals.programs.load(), totals.calls.load(), totals.handlers.load(), totals.deletions.load(),
               totals.raised.load());
        fflush(stdout);
    }
    const double minutes = qMax(clock.elapsed() / 60000.0, 1e-9);
    printf("scriptfuzz: per minute: %.0f programs, %.0f calls, %.0f handlers, %.0f deletions in handlers\n",
           totals.programs / minutes, totals.calls / minutes, totals.handlers / minutes, totals.deletions / minutes);
    if (!found.empty()) {
        printf("scriptfuzz: FAILED: %d program(s) saved\n", int(found.size()));
        return 1;
    }
    printf("scriptfuzz: no faults\n");
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    Options o;
    const QStringList args = app.arguments().mid(1);
    for (int i = 0; i < args.size(); ++i) {
        const QString &a = args.at(i);
        const QString value = i + 1 < args.size() ? args.at(i + 1) : QString();
        if (a == QLatin1String("--seconds"))
            o.seconds = value.toInt(), ++i;
        else if (a == QLatin1String("--jobs"))
            o.jobs = qMax(1, value.toInt()), ++i;
        else if (a == QLatin1String("--seed"))
            o.seed = value.toLongLong(), ++i;
        else if (a == QLatin1String("--save"))
            o.save = value, ++i;
        else if (a == QLatin1String("--timeout"))
            o.timeoutMs = value.toInt() * 1000, ++i;
        else if (a == QLatin1String("--replay"))
            o.replay << value, ++i;
        else {
            fprintf(stderr, "usage: scriptfuzz [--seconds N] [--jobs J] [--seed S] [--save DIR] [--timeout S]\n"
                            "       scriptfuzz --replay FILE|DIR ...\n");
            return 2;
        }
    }
    return o.replay.isEmpty() ? fuzz(o) : replay(o);
}
