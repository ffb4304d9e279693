#pragma once
// The phases of one run, in the order run() plays them; each takes the state the earlier ones
// left and adds its own. A phase that cannot go on ends the harness with fail().

#include "harness/runstate.h"

namespace Bench {

// The audio ports taken, shield-sim started on its socket with every shield looping audio back.
void startPeers(RunState &run);
// The driver started; six shields ready and their lists pushed.
void bringUp(RunState &run);
// The load (when asked for), cyclictest and the status poller started; the window opens.
void openWindow(RunState &run);
// The driver's CPU and each thread's wake-ups while six shields are idle.
void idleWindow(RunState &run);
// Console commands and line events, alternately, at random phases of the cycle.
void commandsAndEvents(RunState &run);
// Six calls with audio both ways; the driver's CPU over their first half.
void calls(RunState &run);
// The calls' second half with a capture client beside them; the calls dropped, the window ends.
void captureHalf(RunState &run);
// One shield stops answering: the supervisor's first pings to it time its tick.
void tickMeasurement(RunState &run);
// One call under four host patterns: paced, a burst, 2 % fast, chunks of four blocks.
void oneCall(RunState &run);
// The driver, shield-sim and the load stopped; the driver's outputs and the stimuli written down.
void stopPeers(RunState &run);
// Six calls on a faster bus, with a driver and shield-sim of their own (the driver told the
// clock with -spi-hz); noted as not run when that driver does not come up.
void fasterBus(RunState &run);

}  // namespace Bench
