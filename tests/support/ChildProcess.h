#pragma once

#include <QProcess>

// Makes a process the test starts end with the test, however the test ends: the kernel
// kills it when the test process dies, even by SIGKILL at a time limit, so no service is
// left holding the test port. Call before start().
void endWithThisProcess(QProcess &process);
