#include "stm-flash/stopsignal.h"

#include <atomic>
#include <csignal>

namespace StmFlash {

namespace {

std::atomic<bool> interrupted{false};

void onSignal(int)
{
    interrupted = true;
}

}  // namespace

void catchStopSignals()
{
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    std::signal(SIGPIPE, SIG_IGN);
}

bool stopRequested()
{
    return interrupted.load();
}

}  // namespace StmFlash
