#pragma once
// The common start of the benchmark programs that measure whole runs
// instead of Google Benchmark cases.

#include <QString>

#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace standalone {

// scripts/run-benchmarks first calls every bench_* program the Google
// Benchmark way; these have no such cases and are run on their own later.
// True when the program was called that way and has answered.
inline bool answeredBenchmarkProbe(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        if (!strncmp(argv[i], "--benchmark_", 12)) {
            printf("{\"benchmarks\": []}\n");
            return true;
        }
        if (!strcmp(argv[i], "--list-pairs") || !strncmp(argv[i], "--mode=", 7))
            return true;
    }
    return false;
}

// The host's own handler writes every Qt message to standard output; the
// benchmark does the same work so a script pays what it pays in the host.
inline void hostLikeHandler(QtMsgType, const QMessageLogContext &, const QString &message)
{
    printf("Debug: %s\n", message.toLocal8Bit().constData());
}

// Results go to the returned stream (the real standard output); everything
// the host prints is still formatted, then dropped. Null on failure.
inline FILE *quietHost()
{
    FILE *report = fdopen(dup(STDOUT_FILENO), "w");
    if (!report || !freopen("/dev/null", "w", stdout))
        return nullptr;
    qInstallMessageHandler(hostLikeHandler);
    return report;
}

} // namespace standalone
