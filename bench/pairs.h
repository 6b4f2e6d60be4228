#pragma once
// What the Google Benchmark programs that come in pairs (ours beside a
// native baseline) share: their command line and a quiet set-up.
//
//   PROGRAM [google benchmark options]     timings of every case
//   PROGRAM --mode=CASE --iterations=N     only that loop (CASE = PAIR-ours or
//                                          PAIR-bare), for callgrind
//   PROGRAM --list-pairs                   the pair names

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace pairs {

struct Args
{
    std::string mode;
    long iterations = 100000;
};

// Reads --mode and --iterations into args; answers --list-pairs with names
// (one per line) and returns false, when the program has nothing more to do.
inline bool parseArgs(int argc, char **argv, const char *names, Args &args)
{
    for (int i = 1; i < argc; ++i) {
        if (!strncmp(argv[i], "--mode=", 7))
            args.mode = argv[i] + 7;
        else if (!strncmp(argv[i], "--iterations=", 13))
            args.iterations = strtol(argv[i] + 13, nullptr, 10);
        else if (!strcmp(argv[i], "--list-pairs")) {
            puts(names);
            return false;
        }
    }
    return true;
}

// Runs the one loop args name (runMode(mode, iterations) gives the exit
// status), or every case the Google Benchmark way.
template <class RunMode>
int run(int &argc, char **argv, const Args &args, RunMode runMode)
{
    if (!args.mode.empty())
        return runMode(args.mode, args.iterations);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

// Standard output goes to /dev/null from here to end() (or the end of the
// scope): the class registrations print one line each, which must stay out
// of the report.
class QuietStdout
{
public:
    QuietStdout()
    {
        fflush(stdout);
        saved = dup(STDOUT_FILENO);
        null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
    }
    ~QuietStdout() { end(); }
    void end()
    {
        if (saved < 0)
            return;
        fflush(stdout);
        dup2(saved, STDOUT_FILENO);
        close(saved);
        close(null);
        saved = null = -1;
    }
    QuietStdout(const QuietStdout &) = delete;
    QuietStdout &operator=(const QuietStdout &) = delete;

private:
    int saved = -1;
    int null = -1;
};

} // namespace pairs
