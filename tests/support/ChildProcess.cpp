#include "ChildProcess.h"

#include <csignal>
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
