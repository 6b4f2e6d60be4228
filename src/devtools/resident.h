#pragma once
// Resident memory of a process, as the system counts it. Live reload reports
// the host's own after every start; the tests and benchmarks read their
// children's.

#include <QtGlobal>

// Kibibytes resident for process pid (VmRSS), or -1 where the system does
// not say (no /proc, a process that is gone).
qint64 residentKiB(qint64 pid);
