#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>

#include <algorithm>

#include <filesystem>

namespace testsupport {

QProcessEnvironment childEnvironment()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("ORVANE_AUTODISMISS_MS"), QStringLiteral("50"));
    return env;
}

Run runProcess(const QString &program, const QStringList &args, const QString &workDir, int timeoutMs,
               const QProcessEnvironment &env)
{
    Run run;
    QProcess p;
    p.setProcessEnvironment(env);
    if (!workDir.isEmpty())
        p.setWorkingDirectory(workDir);
    p.start(program, args);
    if (!p.waitForStarted(10000)) {
        run.err = p.errorString().toLocal8Bit();
        return run;
    }
    p.closeWriteChannel();
    run.finished = p.waitForFinished(timeoutMs);
    if (!run.finished) {
        p.kill();
        p.waitForFinished(5000);
    }
    run.crashed = p.exitStatus() == QProcess::CrashExit;
    run.status = p.exitCode();
    run.out = p.readAllStandardOutput();
    run.err = p.readAllStandardError();
    return run;
}

QString hostBinary() { return QStringLiteral(ORVANE_BINARY); }

QString driverBinary(const QString &name)
{
    return QFileInfo(hostBinary()).absolutePath() + QLatin1String("/../tests/") + name;
}

QString sourcePath(const QString &relative)
{
    return QStringLiteral(ORVANE_SOURCE_DIR "/") + relative;
}

static QString testRunsDir()
{
    const QString d = QStringLiteral(ORVANE_TEST_BUILD_DIR);
    QDir().mkpath(d);
    return d;
}

Install::Install() : dir(testRunsDir() + QLatin1String("/install-XXXXXX")) {}

QString Install::addHost(const QString &relative)
{
    const QString target = path(relative);
    QDir().mkpath(QFileInfo(target).absolutePath());
    std::error_code ec;
    std::filesystem::create_hard_link(hostBinary().toStdString(), target.toStdString(), ec);
    if (ec)
        QFile::copy(hostBinary(), target);
    return target;
}

void Install::writeFile(const QString &relative, const QByteArray &content)
{
    const QString target = path(relative);
    QDir().mkpath(QFileInfo(target).absolutePath());
    QFile f(target);
    if (f.open(QFile::WriteOnly | QFile::Truncate))
        f.write(content);
}

void Install::mkdir(const QString &relative) { QDir().mkpath(path(relative)); }

void Install::copyFrom(const QString &sourceFile, const QString &relative)
{
    const QString target = path(relative);
    QDir().mkpath(QFileInfo(target).absolutePath());
    QFile::remove(target);
    QFile::copy(sourceFile, target);
}

QByteArray everyByteValue(int size)
{
    QByteArray data(qMax(size, 256), Qt::Uninitialized);
    for (int i = 0; i < 256; ++i)
        data[i] = char(i);
    QRandomGenerator *random = QRandomGenerator::global();
    for (int i = 256; i < data.size(); ++i)
        data[i] = char(random->bounded(256));
    std::shuffle(data.begin(), data.end(), *random);
    return data;
}

QStringList lines(const QByteArray &out)
{
    return QString::fromLocal8Bit(out).split(QLatin1Char('\n'));
}

int lineIndex(const QStringList &lines, const QString &needle, int from)
{
    for (int i = qMax(0, from); i < lines.size(); ++i)
        if (lines.at(i).contains(needle))
            return i;
    return -1;
}

} // namespace testsupport
