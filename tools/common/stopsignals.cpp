#include "common/stopsignals.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <sys/un.h>
#include <unistd.h>

namespace {

// Atomic, not only volatile: the signal may land on any thread of the tool (stm-flash's simulated
// bus has a watcher thread), and the flag is read on another. Lock-free, so a handler may set it.
std::atomic<int> stopSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "a signal handler sets the stop flag");

// Copied before the handler is installed: a signal handler may not allocate.
char pathToRemove[sizeof(sockaddr_un::sun_path) + 1];

void onStop(int signal)
{
    stopSignal = signal;
}

void onStopExit(int)
{
    if (pathToRemove[0] != '\0')
        ::unlink(pathToRemove);
    ::_exit(0);
}

void install(void (*handler)(int))
{
    struct sigaction action = {};
    action.sa_handler = handler;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

}  // namespace

void StopSignals::catchStops()
{
    install(onStop);
}

int StopSignals::caught()
{
    return stopSignal.load();
}

sigset_t StopSignals::holdStops()
{
    sigset_t stops, waiting;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    ::sigprocmask(SIG_BLOCK, &stops, &waiting);
    sigdelset(&waiting, SIGINT);
    sigdelset(&waiting, SIGTERM);
    return waiting;
}

void StopSignals::exitOnStop(const QByteArray &path)
{
    const size_t n = std::min(static_cast<size_t>(path.size()), sizeof pathToRemove - 1);
    std::memcpy(pathToRemove, path.constData(), n);
    pathToRemove[n] = '\0';
    install(onStopExit);
}
