#pragma once

#include <QtGlobal>

#include <time.h>

// Processor time the calling thread has used, in milliseconds.
inline qint64 threadCpuMs()
{
    timespec now {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return qint64(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}
