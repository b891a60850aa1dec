// SPDX-License-Identifier: GPL-3.0-or-later
#include "QuitSignals.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The handler may call nothing of Qt's: it only writes the signal's number into a socket
// that the event loop watches, and the loop quits.
int signalSocket[2] = { -1, -1 };

extern "C" void noteSignal(int number)
{
    const int saved = errno;
    const char byte = char(number);
    // A full socket already holds a quit to come; nothing is lost by dropping this one.
    [[maybe_unused]] const ssize_t written = ::write(signalSocket[0], &byte, 1);
    errno = saved;
}

} // namespace

bool quitOnTerminationSignals()
{
    if (signalSocket[0] >= 0)
        return true;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, signalSocket) != 0) {
        qWarning("SIGTERM and SIGINT will end the game at once: no socket for them (%s)", strerror(errno));
        return false;
    }
    auto *notifier = new QSocketNotifier(signalSocket[1], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [] {
        char bytes[16];
        while (::read(signalSocket[1], bytes, sizeof bytes) > 0) { }
        QCoreApplication::quit();
    });

    struct sigaction action = {};
    action.sa_handler = noteSignal;
    sigemptyset(&action.sa_mask);
    // System calls the signal interrupts go on: the event loop's poll among them.
    action.sa_flags = SA_RESTART;
    for (const int number : { SIGTERM, SIGINT }) {
        if (::sigaction(number, &action, nullptr) != 0) {
            qWarning("Signal %d will end the game at once: %s", number, strerror(errno));
            return false;
        }
    }
    return true;
}
