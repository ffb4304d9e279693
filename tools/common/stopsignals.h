#pragma once
// How a tool stops on SIGINT (Ctrl-C) and SIGTERM (systemctl stop, kill). Either it finishes
// what it does and ends by itself (catchStops: a flag, looked at between steps), or it has
// nothing to finish and ends at once (exitOnStop). In both, SIGPIPE is ignored: a reader that
// went away is a write error, told like any other.

#include <QByteArray>

#include <csignal>

namespace StopSignals {

// SIGINT and SIGTERM set the flag that caught() reads. Calls they interrupt are restarted,
// except the waits that never are (poll, ppoll, select, sleeps), which end with EINTR.
void catchStops();

// The stop signal that came (SIGINT or SIGTERM), 0 while none did. Async-signal-safe.
int caught();

// Holds SIGINT and SIGTERM back from now on and returns the mask to wait with (ppoll), which
// lets them through during the wait only: a step between two waits is never cut in half.
sigset_t holdStops();

// SIGINT and SIGTERM remove `path` (unless empty; a socket the tool made) and end the process at
// once with status 0.
void exitOnStop(const QByteArray &path);

}  // namespace StopSignals
