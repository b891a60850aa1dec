// SPDX-License-Identifier: GPL-3.0-or-later
#include "ChildProcess.h"

#include <QFile>

#include <csignal>
#include <ctime>
#include <sys/prctl.h>
#include <unistd.h>

void endWithThisProcess(QProcess &process)
{
    const pid_t parent = getpid();
    process.setChildProcessModifier([parent] {
        // Runs in the child between fork and exec; the death signal survives the exec.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        // The test may have died before the signal was armed.
        if (getppid() != parent)
            _exit(1);
    });
}

// The fields after the name: field 3 of the file (the state) is the first.
static QList<QByteArray> statFields(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    const QByteArray line = stat.open(QIODevice::ReadOnly) ? stat.readAll() : QByteArray();
    return line.isEmpty() ? QList<QByteArray>() : line.mid(line.lastIndexOf(')') + 2).trimmed().split(' ');
}

bool isAlive(qint64 pid)
{
    return statFields(pid).value(0, "Z") != "Z";
}

// utime and stime, fields 14 and 15.
qint64 cpuTicks(qint64 pid)
{
    const QList<QByteArray> fields = statFields(pid);
    return fields.size() < 13 ? -1 : fields.value(11).toLongLong() + fields.value(12).toLongLong();
}

// rss, field 24, in pages.
qint64 residentBytes(qint64 pid)
{
    const QList<QByteArray> fields = statFields(pid);
    return fields.size() < 22 ? -1 : fields.value(21).toLongLong() * sysconf(_SC_PAGESIZE);
}

qint64 threadCpuMs()
{
    timespec now {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return qint64(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}
