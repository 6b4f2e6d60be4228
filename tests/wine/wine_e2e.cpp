// The Windows build, run under wine: the real orvane.exe on real modules,
// with socat as the TCP peer and as the far end of a COM port, and the
// Linux build's rendering as the reference for painting. Run by
// `make test-windows` (scripts/test-windows), which provides the wine prefix,
// the display and ORVANE_WIN_BIN, the folder of the built orvane.exe.
#include "testsupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

using testsupport::everyByteValue;

namespace {

QString winBin()
{
    return qEnvironmentVariable("ORVANE_WIN_BIN");
}

QProcessEnvironment wineEnvironment()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("QT_QPA_PLATFORM")); // the Windows platform, on the test display
    env.insert(QStringLiteral("ORVANE_AUTODISMISS_MS"), QStringLiteral("300"));
    if (!env.contains(QStringLiteral("WINEDEBUG")))
        env.insert(QStringLiteral("WINEDEBUG"), QStringLiteral("-all"));
    return env;
}

QByteArray withoutCr(QByteArray text)
{
    return text.replace("\r\n", "\n");
}

// A user's installation: app/bin/orvane.exe with its DLLs and plugins, the
// modules two levels up (where the host looks first), the working folder at
// the top. The files are links to the build; wine follows them.
class WineInstall
{
public:
    WineInstall()
    {
        QDir().mkpath(path("app/bin"));
        QDir().mkpath(path("modules"));
        const QDir bin(winBin());
        for (const QFileInfo &f : bin.entryInfoList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot))
            QFile::link(f.absoluteFilePath(), path(QLatin1String("app/bin/") + f.fileName()));
        const QDir modules(QStringLiteral(ORVANE_SOURCE_DIR "/tests/wine/modules"));
        for (const QFileInfo &f : modules.entryInfoList({QStringLiteral("*.lua")}, QDir::Files))
            QFile::copy(f.absoluteFilePath(), path(QLatin1String("modules/") + f.fileName()));
        QFile::copy(bin.filePath(QStringLiteral("../native/orvnative.dll")), path("modules/orvnative.dll"));
    }
    QString root() const { return dir.path(); }
    QString path(const char *relative) const { return dir.filePath(QString::fromUtf8(relative)); }
    QString path(const QString &relative) const { return dir.filePath(relative); }
    QString exe() const { return path("app/bin/orvane.exe"); }
    // The folder as Windows programs see it: wine's drive Z: is the root.
    QString windowsRoot() const { return QLatin1String("Z:") + root(); }
    QByteArray log(const QString &module) const
    {
        QFile f(path(module + QLatin1String(".log.txt")));
        return f.open(QFile::ReadOnly) ? withoutCr(f.readAll()) : QByteArray();
    }

private:
    QTemporaryDir dir;
};

testsupport::Run runWine(const WineInstall &install, const QStringList &args, int timeoutMs = 60000,
                         const QProcessEnvironment &env = wineEnvironment())
{
    testsupport::Run run = testsupport::runProcess(QStringLiteral("wine"), QStringList{install.exe()} + args,
                                                   install.root(), timeoutMs, env);
    run.out = withoutCr(run.out);
    return run;
}

// A copy left running in the background, killed when the test ends.
class Background
{
public:
    Background(const WineInstall &install, const QStringList &args, const QProcessEnvironment &env = wineEnvironment())
    {
        proc.setProcessEnvironment(env);
        proc.setWorkingDirectory(install.root());
        proc.start(QStringLiteral("wine"), QStringList{install.exe()} + args);
    }
    ~Background()
    {
        proc.kill();
        proc.waitForFinished(10000);
    }
    QProcess proc;
};

bool waitFor(const std::function<bool()> &ready, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!ready()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QTest::qWait(50);
    }
    return true;
}

QString valueAfter(const QByteArray &log, const QString &key)
{
    const QRegularExpression re(QLatin1Char('^') + QRegularExpression::escape(key) + QLatin1String("\\t(.*)$"),
                                QRegularExpression::MultilineOption);
    return re.match(QString::fromLocal8Bit(log)).captured(1);
}

bool wineCommand(const QStringList &args)
{
    return testsupport::runProcess(QStringLiteral("wine"), args, QString(), 60000, wineEnvironment()).status == 0;
}

void restartWineServer()
{
    testsupport::runProcess(QStringLiteral("wineserver"), {QStringLiteral("-k")}, QString(), 30000, wineEnvironment());
    testsupport::runProcess(QStringLiteral("wineserver"), {QStringLiteral("-w")}, QString(), 30000, wineEnvironment());
}

// Finds the scene's one-pixel magenta frame and returns what is inside it.
QImage sceneIn(const QImage &shot, QSize size)
{
    const QRgb magenta = qRgb(255, 0, 255);
    for (int y = 0; y + size.height() <= shot.height(); ++y)
        for (int x = 0; x + size.width() <= shot.width(); ++x)
            if (shot.pixel(x, y) == magenta && shot.pixel(x + size.width() - 1, y) == magenta
                && shot.pixel(x, y + size.height() - 1) == magenta
                && shot.pixel(x + size.width() - 1, y + size.height() - 1) == magenta
                && shot.pixel(x + 1, y) == magenta && shot.pixel(x, y + 1) == magenta)
                return shot.copy(x, y, size.width(), size.height());
    return QImage();
}

QImage screenshot(const QString &file)
{
    const testsupport::Run shot = testsupport::runProcess(QStringLiteral("import"),
        {QStringLiteral("-window"), QStringLiteral("root"), file}, QString(), 30000);
    if (shot.status != 0)
        qWarning("import failed: %s", shot.err.constData());
    return QImage(file).convertToFormat(QImage::Format_RGB32);
}

} // namespace

class WineE2E : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QVERIFY2(QFileInfo::exists(winBin() + QLatin1String("/orvane.exe")),
                 "ORVANE_WIN_BIN must name the folder of the built orvane.exe (make test-windows sets it)");
        QVERIFY2(!qEnvironmentVariableIsEmpty("WINEPREFIX") && !qEnvironmentVariableIsEmpty("DISPLAY"),
                 "run through scripts/test-windows");
    }

    // Module lookup below a drive letter, the globals, "?.dll" native
    // modules, and Lua errors (compiled as C++) raised in lua53.dll, in a
    // native module and in a host method, all caught by the script.
    void startupFindsModulesOnDriveZ()
    {
        WineInstall install;
        const testsupport::Run run = runWine(install, {QStringLiteral("wstart"), QStringLiteral("-df")});
        QVERIFY2(run.finished && run.status == 0, run.err.constData());
        const QByteArray log = install.log(QStringLiteral("wstart"));
        const QString base = install.windowsRoot();
        QCOMPARE(valueAfter(log, QStringLiteral("package.path")),
                 base + "/?/init.lua;" + base + "/?.lua;" + base + "/modules/?.lua");
        QCOMPARE(valueAfter(log, QStringLiteral("package.cpath")), base + "/?.dll;" + base + "/modules/?.dll");
        QCOMPARE(valueAfter(log, QStringLiteral("file")), QStringLiteral("orvane.exe\torvane.exe"));
        QCOMPARE(valueAfter(log, QStringLiteral("path")), base + QLatin1String("/app/bin/orvane.exe"));
        QCOMPARE(valueAfter(log, QStringLiteral("helper")), QStringLiteral("42"));
        QCOMPARE(valueAfter(log, QStringLiteral("native")), QStringLiteral("5"));
        QCOMPARE(valueAfter(log, QStringLiteral("native error")), QStringLiteral("raised in orvnative.dll"));
        QVERIFY2(valueAfter(log, QStringLiteral("host error")).contains(QLatin1String("QWidget expected, got number")),
                 log.constData());
        QCOMPARE(valueAfter(log, QStringLiteral("lua error")), QStringLiteral("true"));
        // Everything went to the log, nothing after the redirection to the
        // standard output the process was given.
        QVERIFY(run.out.contains("Debug: Found \"wstart\""));
        QVERIFY(!run.out.contains("Start module"));
    }

    // A bundle beside the executable: no Lua search path, native modules
    // beside the executable only.
    void bundleEmptiesTheSearchPath()
    {
        WineInstall install;
        QDir().mkpath(install.path("packed"));
        QVERIFY(QFile::rename(install.path("modules/wtimers.lua"), install.path("packed/wtimers.lua")));
        const testsupport::Run pack = testsupport::runProcess(QStringLiteral(ORVANE_SOURCE_DIR "/tools/mkbundle"),
                                                              {install.path("app/bin/bundle.bin"), install.path("packed")});
        QVERIFY2(pack.status == 0, pack.err.constData());
        const testsupport::Run run = runWine(install, {QStringLiteral("wtimers"), QStringLiteral("-df")});
        QVERIFY2(run.finished && run.status == 0, run.err.constData());
        const QByteArray log = install.log(QStringLiteral("wtimers"));
        QVERIFY2(log.contains("\npackage.path\t\n"), log.constData());
        const QString bin = install.windowsRoot() + QLatin1String("/app/bin");
        QCOMPARE(valueAfter(log, QStringLiteral("package.cpath")), bin + "/?.dll;" + bin + "/modules/?.dll");
        QVERIFY(log.contains("\ntimers\t10\t1\t"));
    }

    // Nine 50 ms periods take about 450 ms; the single shot fires once.
    void timersFire()
    {
        WineInstall install;
        const testsupport::Run run = runWine(install, {QStringLiteral("wtimers"), QStringLiteral("-df")});
        QVERIFY2(run.finished && run.status == 0, run.err.constData());
        const QStringList fields = valueAfter(install.log(QStringLiteral("wtimers")), QStringLiteral("timers"))
                                       .split(QLatin1Char('\t'));
        QCOMPARE(fields.size(), 3);
        QCOMPARE(fields[0], QStringLiteral("10"));
        QCOMPARE(fields[1], QStringLiteral("1"));
        const int elapsed = fields[2].toInt();
        QVERIFY2(elapsed >= 300 && elapsed < 5000, qPrintable(fields[2]));
        qInfo("nine 50 ms periods in %d ms", elapsed);
    }

    // The guard between copies: the second copy of a module is refused with
    // the box (dismissed by itself), silently with -q; another module runs
    // beside it. Under wine every box with an icon also raises Qt's critical
    // "QPixmap::fromWinHICON()" (wine's SHGetStockIconInfo answers S_OK with
    // no icon), which the host answers as any critical message: status 255.
    void secondCopyIsRefused()
    {
        WineInstall install;
        Background first(install, {QStringLiteral("wguard"), QStringLiteral("-df")});
        QVERIFY2(waitFor([&] { return install.log(QStringLiteral("wguard")).contains("\nrunning\n"); }, 60000),
                 install.log(QStringLiteral("wguard")).constData());

        const testsupport::Run second = runWine(install, {QStringLiteral("wguard")});
        QVERIFY2(second.finished, second.out.constData());
        QVERIFY2(second.out.contains("Debug: Instance already running!\n"), second.out.constData());
        QVERIFY(second.out.contains("Box: Orvane wguard: Launch abandoned!\\n\\nAnother copy of the program is "
                                    "already running.\n"));
        QVERIFY2(second.status == 0
                     || (second.status == 255 && second.out.contains("Critical: QPixmap::fromWinHICON()")),
                 second.out.constData());
        const testsupport::Run quiet = runWine(install, {QStringLiteral("-q"), QStringLiteral("wguard")});
        QVERIFY(quiet.finished && quiet.status == 0);
        QVERIFY(quiet.out.contains("Debug: Instance already running!\n"));
        QVERIFY(!quiet.out.contains("Box:"));

        const testsupport::Run other = runWine(install, {QStringLiteral("wtimers")});
        QVERIFY2(other.finished && other.status == 0, other.out.constData());
        QVERIFY(!other.out.contains("Instance already running"));
        QVERIFY(first.proc.state() == QProcess::Running);
    }

    // -d and -dd give the program a console of its own (wine opens one on
    // the display): lines after the redirection no longer reach the pipe.
    void consoleOptionsTakeTheOutput()
    {
        for (const char *option : {"-d", "-dd"}) {
            WineInstall install;
            const testsupport::Run run = runWine(install, {QString::fromLatin1(option), QStringLiteral("wtimers")});
            QVERIFY2(run.finished && run.status == 0, option);
            QVERIFY2(run.out.contains("Debug: Found \"wtimers\""), run.out.constData());
            QVERIFY2(!run.out.contains("Start module"), run.out.constData());
        }
    }

    // debugString writes to the debugger channel (wine's +debugstr trace),
    // not to standard output.
    void debugStringReachesTheDebugger()
    {
        WineInstall install;
        QProcessEnvironment env = wineEnvironment();
        env.insert(QStringLiteral("WINEDEBUG"), QStringLiteral("-all,+debugstr"));
        const testsupport::Run run = runWine(install, {QStringLiteral("wdebug")}, 60000, env);
        QVERIFY(run.finished && run.status == 0);
        QVERIFY2(run.err.contains("orvane debug channel"), run.err.right(2000).constData());
        QVERIFY(!run.out.contains("orvane debug channel"));
    }

    // Without DNS-SD in the system every discovery call reports error 1 and
    // the program goes on.
    void discoveryWithoutTheServiceFailsCleanly()
    {
        WineInstall install;
        const testsupport::Run run = runWine(install, {QStringLiteral("wbonjour"), QStringLiteral("-df")});
        QVERIFY2(run.finished && run.status == 0, run.err.constData());
        const QByteArray log = install.log(QStringLiteral("wbonjour"));
        QVERIFY2(log.contains("Debug: Registration Failed: 1\n"), log.constData());
        QVERIFY(log.contains("Debug: Browsing Failed: 1\n"));
        QVERIFY(log.contains("Debug: onResolveError: 1\n"));
        QVERIFY(log.contains("\nstill running\n"));
    }

    // A script echo server against socat on loopback: every byte value,
    // byte-exact, with the throughput for the record.
    void tcpEchoWithSocat()
    {
        WineInstall install;
        Background host(install, {QStringLiteral("wtcp"), QStringLiteral("-df")});
        QString port;
        QVERIFY2(waitFor([&] { return !(port = valueAfter(install.log(QStringLiteral("wtcp")), "port")).isEmpty(); },
                         60000),
                 install.log(QStringLiteral("wtcp")).constData());
        QVERIFY(port.toInt() > 0);
        const QByteArray payload = everyByteValue(8 << 20);
        QProcess socat;
        socat.start(QStringLiteral("socat"), {QStringLiteral("-b65536"), QStringLiteral("-"),
                                              QLatin1String("TCP:127.0.0.1:") + port});
        QVERIFY(socat.waitForStarted(10000));
        QElapsedTimer clock;
        clock.start();
        QByteArray echoed;
        qint64 sent = 0;
        const int chunk = 64 * 1024;
        while (echoed.size() < payload.size() && clock.elapsed() < 120000) {
            if (sent < payload.size() && socat.bytesToWrite() < 4 * chunk) {
                socat.write(payload.constData() + sent, qMin<qint64>(chunk, payload.size() - sent));
                sent += qMin<qint64>(chunk, payload.size() - sent);
            }
            socat.waitForReadyRead(20);
            echoed += socat.readAllStandardOutput();
        }
        const qint64 ms = clock.elapsed();
        socat.kill();
        socat.waitForFinished(5000);
        QCOMPARE(echoed.size(), payload.size());
        QVERIFY(echoed == payload);
        qInfo("TCP echo under wine: %d MiB each way in %lld ms, %.1f MiB/s", int(payload.size() >> 20), ms,
              (payload.size() / 1048576.0) / (ms / 1000.0));
    }

    // A COM port that wine maps onto one end of a socat pseudo-terminal pair;
    // the script echoes, the test writes and reads the other end.
    void serialThroughComPort()
    {
        QTemporaryDir dir;
        const QString a = dir.filePath(QStringLiteral("a"));
        const QString b = dir.filePath(QStringLiteral("b"));
        QProcess socat;
        socat.start(QStringLiteral("socat"), {QStringLiteral("pty,raw,echo=0,link=") + a,
                                              QStringLiteral("pty,raw,echo=0,link=") + b});
        QVERIFY(waitFor([&] { return QFileInfo::exists(a) && QFileInfo::exists(b); }, 10000));
        // Wine's way of giving a COM port a device: a value under its Ports
        // key, read when the server starts.
        const QString device = QFileInfo(a).symLinkTarget();
        QVERIFY(wineCommand({QStringLiteral("reg"), QStringLiteral("add"), QStringLiteral("HKLM\\Software\\Wine\\Ports"),
                             QStringLiteral("/v"), QStringLiteral("COM9"), QStringLiteral("/d"), device,
                             QStringLiteral("/f")}));
        restartWineServer();
        const int fd = ::open(QFile::encodeName(b).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        QVERIFY(fd >= 0);

        WineInstall install;
        QProcessEnvironment env = wineEnvironment();
        env.insert(QStringLiteral("WSERIAL_PORT"), QStringLiteral("COM9"));
        Background host(install, {QStringLiteral("wserial"), QStringLiteral("-df")}, env);
        QVERIFY2(waitFor([&] { return install.log(QStringLiteral("wserial")).contains("\nopened\n"); }, 60000),
                 install.log(QStringLiteral("wserial")).constData());
        QVERIFY2(valueAfter(install.log(QStringLiteral("wserial")), "ports").split(',').contains("COM9"),
                 install.log(QStringLiteral("wserial")).constData());
        QTest::qWait(300); // the worker opens the port on its own thread

        // Round trips of one small line first, then a stream.
        QElapsedTimer clock;
        QByteArray echoed;
        auto pump = [&](qint64 want, int timeoutMs) {
            char buf[65536];
            while (echoed.size() < want && clock.elapsed() < timeoutMs) {
                pollfd p{fd, POLLIN, 0};
                if (::poll(&p, 1, 20) > 0) {
                    const ssize_t n = ::read(fd, buf, sizeof buf);
                    if (n > 0)
                        echoed.append(buf, int(n));
                }
            }
        };
        clock.start();
        QCOMPARE(::write(fd, "ping\0\n", 6), ssize_t(6));
        pump(6, 20000); // the first answer waits for the window's first frame
        QCOMPARE(echoed, QByteArray("ping\0\n", 6));
        const int rounds = 20;
        clock.restart();
        for (int i = 0; i < rounds; ++i) {
            echoed.clear();
            QCOMPARE(::write(fd, "ping\0\n", 6), ssize_t(6));
            pump(6, 20000);
            QCOMPARE(echoed, QByteArray("ping\0\n", 6));
        }
        const double roundTripMs = clock.elapsed() / double(rounds);
        echoed.clear();
        const QByteArray payload = everyByteValue(256 * 1024);
        clock.restart();
        qint64 sent = 0;
        char buf[65536];
        while (echoed.size() < payload.size() && clock.elapsed() < 120000) {
            if (sent < payload.size()) {
                const ssize_t n = ::write(fd, payload.constData() + sent, size_t(qMin<qint64>(4096, payload.size() - sent)));
                if (n > 0)
                    sent += n;
            }
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 5) > 0) {
                const ssize_t n = ::read(fd, buf, sizeof buf);
                if (n > 0)
                    echoed.append(buf, int(n));
            }
        }
        const qint64 ms = clock.elapsed();
        ::close(fd);
        socat.kill();
        socat.waitForFinished(5000);
        wineCommand({QStringLiteral("reg"), QStringLiteral("delete"), QStringLiteral("HKLM\\Software\\Wine\\Ports"),
                     QStringLiteral("/v"), QStringLiteral("COM9"), QStringLiteral("/f")});
        QCOMPARE(echoed.size(), payload.size());
        QVERIFY(echoed == payload);
        QVERIFY(!install.log(QStringLiteral("wserial")).contains("serial error"));
        qInfo("serial under wine: %.1f ms a round trip; %d KiB echoed in %lld ms, %.0f KiB/s", roundTripMs,
              int(payload.size() >> 10), ms, (payload.size() / 1024.0) / (ms / 1000.0));
    }

    // The same scene painted by the Windows build (wine's display driver)
    // and the Linux build (xcb), compared pixel for pixel.
    void paintedStylesMatchLinux()
    {
        const QSize size(372, 150);
        QTemporaryDir shots;

        WineInstall install;
        QImage windows;
        {
            Background host(install, {QStringLiteral("wstyles"), QStringLiteral("-df")});
            QVERIFY2(waitFor([&] { return install.log(QStringLiteral("wstyles")).contains("\nscene ready\n"); }, 60000),
                     install.log(QStringLiteral("wstyles")).constData());
            windows = sceneIn(screenshot(shots.filePath(QStringLiteral("windows.png"))), size);
        }
        QVERIFY2(!windows.isNull(), "the scene's frame is not on the wine screenshot");

        QImage onLinux;
        {
            QProcess host;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
            host.setProcessEnvironment(env);
            host.setWorkingDirectory(install.root());
            QFile::remove(install.path("wstyles.log.txt"));
            // The Linux host finds the same modules two levels above its own
            // folder in the same installation.
            QDir().mkpath(install.path("linux/bin"));
            QFile::copy(QStringLiteral(ORVANE_BINARY), install.path("linux/bin/orvane")); // a link would lead Qt back to the build
            host.start(install.path("linux/bin/orvane"), {QStringLiteral("wstyles"), QStringLiteral("-df")});
            QVERIFY(host.waitForStarted(10000));
            QVERIFY2(waitFor([&] { return install.log(QStringLiteral("wstyles")).contains("\nscene ready\n"); }, 60000),
                     install.log(QStringLiteral("wstyles")).constData());
            onLinux = sceneIn(screenshot(shots.filePath(QStringLiteral("linux.png"))), size);
            host.kill();
            host.waitForFinished(5000);
        }
        QVERIFY2(!onLinux.isNull(), "the scene's frame is not on the Linux screenshot");

        int differing = 0;
        for (int y = 0; y < size.height(); ++y)
            for (int x = 0; x < size.width(); ++x)
                differing += windows.pixel(x, y) != onLinux.pixel(x, y);
        if (differing) {
            windows.save(QStringLiteral(ORVANE_TEST_BUILD_DIR "/wine-styles-windows.png"));
            onLinux.save(QStringLiteral(ORVANE_TEST_BUILD_DIR "/wine-styles-linux.png"));
        }
        QVERIFY2(differing == 0, qPrintable(QStringLiteral("%1 of %2 pixels differ (saved beside the test runs)")
                                                .arg(differing)
                                                .arg(size.width() * size.height())));
    }

    // What a user copies onto a panel: the dist folder, in a wine prefix made
    // for this test with nothing else installed, runs the demo from its
    // bundle and passes the demo's own driver.
    void distRunsTheDemoInAFreshPrefix()
    {
        const QString dist = qEnvironmentVariable("ORVANE_WIN_DIST");
        if (dist.isEmpty())
            QSKIP("ORVANE_WIN_DIST is not set (make test-windows sets it after make windows-dist)");
        QTemporaryDir prefix;
        QProcessEnvironment env = wineEnvironment();
        env.insert(QStringLiteral("WINEPREFIX"), prefix.path());
        env.insert(QStringLiteral("WINEDLLOVERRIDES"), QStringLiteral("mscoree,mshtml="));
        const testsupport::Run boot = testsupport::runProcess(QStringLiteral("wineboot"), {QStringLiteral("-u")},
                                                              QString(), 180000, env);
        QVERIFY2(boot.finished, "wineboot did not finish");
        env.insert(QStringLiteral("ORVANE_DRIVER"), QStringLiteral(ORVANE_SOURCE_DIR "/tests/e2e/drivers/demo_driver.lua"));
        const testsupport::Run run = testsupport::runProcess(QStringLiteral("wine"), {dist + QLatin1String("/orvane.exe"),
                                                             QStringLiteral("demo")}, dist, 180000, env);
        testsupport::runProcess(QStringLiteral("wineserver"), {QStringLiteral("-k")}, QString(), 30000, env);
        const QByteArray out = withoutCr(run.out);
        QVERIFY2(run.finished && run.status == 0, out.right(3000).constData());
        // Every check of the demo's driver, however many it has by now.
        const QRegularExpressionMatch summary
            = QRegularExpression(QStringLiteral("\n(\\d+) passed, 0 failed\n")).match(QString::fromLocal8Bit(out));
        QVERIFY2(summary.hasMatch() && summary.captured(1).toInt() >= 19, out.right(800).constData());
        QVERIFY(out.contains("\nsize of bundle:\t"));
    }
};

QTEST_MAIN(WineE2E)
#include "wine_e2e.moc"
