// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QProcess>

// Makes a process the test starts end with the test, however the test ends: the kernel
// kills it when the test process dies, even by SIGKILL at a time limit, so no service is
// left holding the test port. Call before start().
void endWithThisProcess(QProcess &process);

// What /proc tells of a process: whether it still runs (one ended but not yet reaped holds
// nothing any more), the processor time it has used in clock ticks and its resident memory
// in bytes, -1 when it is gone.
bool isAlive(qint64 pid);
qint64 cpuTicks(qint64 pid);
qint64 residentBytes(qint64 pid);
// Processor time the calling thread has used, in milliseconds.
qint64 threadCpuMs();

// What one hostile reply may leave resident. AddressSanitizer holds freed memory back in
// quarantine, so under it what stays resident is its own.
#ifdef __SANITIZE_ADDRESS__
constexpr qint64 MostKeptBytes = 512 * 1024 * 1024;
#else
constexpr qint64 MostKeptBytes = 50 * 1024 * 1024;
#endif
