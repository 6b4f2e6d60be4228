// Start-up time and resident memory of the host against native Qt programs
// that show the same things, measured in the same run. All are whole
// processes on the offscreen platform, started and waited for in turn:
//   demo:   the demo application up to the end of onStartup, against a
//           native program showing the same splash, style sheet, four fonts
//           and main window (and, as before, against a bare Qt window);
//   small:  a small module (a TCP echo server in the main window), against a
//           native program with the same window and the same server.
// Resident memory (VmRSS) is read once each program has started and had
// half a second to settle with its window on screen.
//
//   bench_startup [RUNS]        prints the means and the ratios
//   bench_startup --bare        the bare window
//   bench_startup --native-demo the native counterpart of the demo's start
//   bench_startup --native-small the native counterpart of the small module
#include "resources.h"
#include "standalone.h"
#include "devtools/resident.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFontDatabase>
#include <QMainWindow>
#include <QProcess>
#include <QSplashScreen>
#include <QStatusBar>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>
#include <QTimer>

#include <cstdio>
#include <cstring>

#ifndef ORVANE_BINARY
#error "ORVANE_BINARY must name the host executable"
#endif

namespace {

// The host's main window: 837 x 442 with a central widget and a status bar.
void showMainWindow(QMainWindow &window)
{
    window.resize(837, 442);
    window.setCentralWidget(new QWidget);
    window.setStatusBar(new QStatusBar);
    window.show();
}

void started()
{
    printf("STARTED\n");
    fflush(stdout);
}

int bareProgram(int argc, char **argv)
{
    QApplication app(argc, argv);
    QMainWindow window;
    window.resize(837, 442);
    window.show();
    started();
    return app.exec();
}

// What the host does before a module's onStartup, minus the interpreter.
int nativeDemoProgram(int argc, char **argv)
{
    QApplication app(argc, argv);
    orvane::initResources();
    QSplashScreen splash(QPixmap(QStringLiteral(":/images/splash.png")));
    splash.show();
    QFile styleSheet(QStringLiteral(":/stylesheet.css"));
    if (styleSheet.open(QFile::ReadOnly | QFile::Text))
        app.setStyleSheet(QTextStream(&styleSheet).readAll());
    for (const char *font : {"digital-7.ttf", "digital-7 (italic).ttf", "digital-7 (mono).ttf",
                             "digital-7 (mono italic).ttf"})
        QFontDatabase::addApplicationFont(QStringLiteral(":/fonts/") + QLatin1String(font));
    QMainWindow window;
    showMainWindow(window);
    splash.finish(&window);
    started();
    return app.exec();
}

int nativeSmallProgram(int argc, char **argv)
{
    QApplication app(argc, argv);
    QTcpServer server;
    QObject::connect(&server, &QTcpServer::newConnection, &server, [&server] {
        while (QTcpSocket *s = server.nextPendingConnection())
            QObject::connect(s, &QTcpSocket::readyRead, s, [s] { s->write(s->readAll()); });
    });
    server.listen(QHostAddress::LocalHost, 0);
    QMainWindow window;
    showMainWindow(window);
    started();
    return app.exec();
}

struct Figures {
    double ms = 0;  // mean time to "STARTED"
    double mib = 0; // mean resident memory once settled
};

bool measure(const QString &program, const QStringList &args, const QString &dir, int runs, Figures *out)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    Figures sum;
    for (int i = 0; i < runs; ++i) {
        QProcess p;
        p.setProcessEnvironment(env);
        p.setWorkingDirectory(dir);
        QElapsedTimer clock;
        clock.start();
        p.start(program, args);
        // Time to the line each program writes once it has started.
        QByteArray out;
        while (!out.contains("STARTED\n") && p.waitForReadyRead(30000))
            out += p.readAllStandardOutput();
        const double ms = clock.nsecsElapsed() / 1e6;
        if (!out.contains("STARTED\n")) {
            fprintf(stderr, "%s did not start\n", qPrintable(program));
            return false;
        }
        // The host's chatter keeps coming; it must not fill the pipe.
        for (QElapsedTimer settle; !settle.isValid() || settle.elapsed() < 500;) {
            if (!settle.isValid())
                settle.start();
            p.waitForReadyRead(50);
            p.readAllStandardOutput();
        }
        const long kib = residentKiB(p.processId());
        sum.ms += ms;
        sum.mib += kib / 1024.0;
        p.kill();
        p.waitForFinished(5000);
    }
    out->ms = sum.ms / runs;
    out->mib = sum.mib / runs;
    return true;
}

bool report(const char *what, double ours, double native, const char *unit, double target)
{
    const double ratio = ours / native;
    printf("%-34s host %8.1f %s  native %8.1f %s  ratio %.2f (target <= %.1f)%s\n", what, ours, unit, native, unit,
           ratio, target, ratio <= target ? "" : "  MISSES");
    return ratio <= target;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1 && !strcmp(argv[1], "--bare"))
        return bareProgram(argc, argv);
    if (argc > 1 && !strcmp(argv[1], "--native-demo"))
        return nativeDemoProgram(argc, argv);
    if (argc > 1 && !strcmp(argv[1], "--native-small"))
        return nativeSmallProgram(argc, argv);
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
    QFile small(dir.filePath(QStringLiteral("smallbench.lua")));
    small.open(QFile::WriteOnly);
    small.write("local qt = require 'qt.core'\n"
                "local server = qt.TcpServer.create('127.0.0.1', 0)\n"
                "function MsgHandler(obj, msg)\n"
                "  if msg == 'onReadyRead' then obj:write(obj:read())\n"
                "  elseif msg == 'onNewConnection' then while server:socket() do end\n"
                "  elseif msg == 'onStartup' then print('STARTED') io.stdout:flush() end\n"
                "end\n");
    small.close();

    const QString self = QCoreApplication::applicationFilePath();
    Figures demo, small_, bare, nativeDemo, nativeSmall;
    // One warm-up run each, so all start from a warm page cache.
    Figures warm;
    if (!measure(host, {QStringLiteral("startupbench")}, dir.path(), 1, &warm)
        || !measure(self, {QStringLiteral("--native-demo")}, dir.path(), 1, &warm)
        || !measure(host, {QStringLiteral("startupbench")}, dir.path(), runs, &demo)
        || !measure(self, {QStringLiteral("--native-demo")}, dir.path(), runs, &nativeDemo)
        || !measure(self, {QStringLiteral("--bare")}, dir.path(), runs, &bare)
        || !measure(host, {QStringLiteral("smallbench")}, dir.path(), runs, &small_)
        || !measure(self, {QStringLiteral("--native-small")}, dir.path(), runs, &nativeSmall))
        return 1;
    bool met = true;
    met &= report("demo start to end of onStartup", demo.ms, nativeDemo.ms, "ms", 2.0);
    printf("%-34s host %8.1f ms  bare Qt window %8.1f ms  ratio %.2f (for reference)\n", "", demo.ms, bare.ms,
           demo.ms / bare.ms);
    met &= report("resident memory, demo", demo.mib, nativeDemo.mib, "MiB", 1.5);
    met &= report("resident memory, small module", small_.mib, nativeSmall.mib, "MiB", 1.5);
    return met ? 0 : 3;
}
