#pragma once
// Starting the programs of a run: the host's audio ports, shield-sim on a socket of its own, the
// driver against it. Used by the phases on the harness's main thread.

#include "harness/runstate.h"

#include <string>
#include <vector>

namespace Bench {

// Binds the host's audio ports, waiting up to ten minutes while another driver or test holds
// them; fail() after that.
void takeAudioPorts(AudioPeer &audio);

// One shield-sim: its socket, its timing log, its bus clock (0: replies at once) and the name of
// its output files in the run's folder.
struct SimulatorRun {
    std::string socket, timingLog;
    long busHz = 0;
    std::string name;
};
// Starts shield-sim, waits for its socket, raises its threads to real-time priority where
// allowed (run.simulatorRealTime says whether) and turns every shield's audio loop-back on.
// False when it does not start or open its socket.
bool startSimulator(RunState &run, Child &simulator, const SimulatorRun &how);
// Starts the driver with six shields on `socket`, `extra` options and the run's priority.
bool startDriver(RunState &run, Child &driver, const std::string &socket,
                 const std::vector<std::string> &extra, const std::string &errFile);
// Waits for six "shield_ready" lines and six ends of the list push from `started` on; the last
// of each. False, with the first shield that did not come, when one misses its deadline.
bool waitForSixShields(Child &driver, int64_t started, int64_t *lastReady, int64_t *lastPushed,
                       std::string *missing);

}  // namespace Bench
