// Start-up time of the demo application up to the end of onStartup, against a bare Qt
// widgets program that shows a window, measured in the same run. Both are
// whole processes on the offscreen platform, started and waited for in turn.
//
//   bench_startup [RUNS]     prints the mean times and the ratio (target <= 1.5)
//   bench_startup --bare     the bare program itself
#include "standalone.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMainWindow>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <cstring>

#ifndef ORVANE_BINARY
#error "ORVANE_BINARY must name the host executable"
#endif

static int bareProgram(int argc, char **argv)
{
    QApplication app(argc, argv);
    QMainWindow window;
    window.resize(837, 442);
    window.show();
    printf("STARTED\n");
    fflush(stdout);
    QTimer::singleShot(0, &app, &QCoreApplication::quit);
    return app.exec();
}

static double meanMs(const QString &program, const QStringList &args, const QString &dir, int runs)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    double total = 0;
    for (int i = 0; i < runs; ++i) {
        QProcess p;
        p.setProcessEnvironment(env);
        p.setWorkingDirectory(dir);
        QElapsedTimer clock;
        clock.start();
        p.start(program, args);
        // Time to the line each program writes once its window is up.
        QByteArray out;
        while (!out.contains("STARTED\n") && p.waitForReadyRead(30000))
            out += p.readAllStandardOutput();
        const double ms = clock.nsecsElapsed() / 1e6;
        if (!out.contains("STARTED\n")) {
            fprintf(stderr, "%s did not start\n", qPrintable(program));
            return -1;
        }
        total += ms;
        p.kill();
        p.waitForFinished(5000);
    }
    return total / runs;
}

int main(int argc, char **argv)
{
    if (argc > 1 && !strcmp(argv[1], "--bare"))
        return bareProgram(argc, argv);
    if (standalone::answeredBenchmarkProbe(argc, argv))
        return 0;
    const int runs = argc > 1 ? qMax(1, atoi(argv[1])) : 10;
    QCoreApplication app(argc, argv);

    // The demo as installed: the host two levels below a folder holding the modules.
    QTemporaryDir dir;
    const QString host = dir.filePath(QStringLiteral("app/bin/orvane"));
    QDir().mkpath(dir.filePath(QStringLiteral("app/bin")));
    // A copy, not a link: the host finds its modules from its own real path.
    if (!QFile::copy(QStringLiteral(ORVANE_BINARY), host))
        return 1;
    QFile::setPermissions(host, QFile::permissions(host) | QFile::ExeOwner);
    QFile::link(QStringLiteral(ORVANE_SOURCE_DIR "/modules"), dir.filePath(QStringLiteral("modules")));
    QFile::link(QStringLiteral(ORVANE_SOURCE_DIR "/images"), dir.filePath(QStringLiteral("images")));
    QFile wrapper(dir.filePath(QStringLiteral("startupbench.lua")));
    wrapper.open(QFile::WriteOnly);
    wrapper.write("require 'demo'\n"
                  "local demo = MsgHandler\n"
                  "function MsgHandler(h, m, ...)\n"
                  "  local r = demo(h, m, ...)\n"
                  "  if m == 'onStartup' then print('STARTED') io.stdout:flush() end\n"
                  "  return r\n"
                  "end\n");
    wrapper.close();

    // One warm-up run each, so both start from a warm page cache.
    meanMs(host, {QStringLiteral("startupbench")}, dir.path(), 1);
    meanMs(QCoreApplication::applicationFilePath(), {QStringLiteral("--bare")}, dir.path(), 1);
    const double ours = meanMs(host, {QStringLiteral("startupbench")}, dir.path(), runs);
    const double bare = meanMs(QCoreApplication::applicationFilePath(), {QStringLiteral("--bare")}, dir.path(), runs);
    if (ours < 0 || bare < 0)
        return 1;
    const double ratio = ours / bare;
    printf("start-up to onStartup  demo %8.1f ms  bare Qt window %8.1f ms  ratio %.2f (target <= 1.5)%s\n", ours,
           bare, ratio, ratio <= 1.5 ? "" : "  MISSES");
    return ratio <= 1.5 ? 0 : 3;
}
