#pragma once
// The figures of one run, computed from what its phases noted and from the logs they left (the
// simulator's transfer logs, cyclictest's samples, the driver's standard error). Each group is
// computed by the function named after it; report.h turns them into tables and notes.

#include "harness/driverlogs.h"
#include "harness/runstate.h"
#include "harness/transferlog.h"

#include <string>
#include <vector>

namespace Bench {

// The transfer cycle, from the periods of shield 0's transfers: outside the six calls, during
// them, and during them without and with the capture client.
struct CycleFigures {
    std::vector<double> periods, callPeriods;
    Summary period, deviation, callPeriod, withoutCapture, withCapture;
    double captureRatio = 0;
    size_t lateCycles = 0, lateCallCycles = 0;  // periods over 17 ms
};
CycleFigures measureCycles(const RunState &run, const std::vector<Transfer> &log);

// What the machine's scheduler gave cyclictest in the same window.
struct MachineFigures {
    std::vector<double> latencyUs, periods;
    Summary latency, period, deviation;
    size_t lateWakeUps = 0;  // more than 1 ms late
};
MachineFigures measureCyclictest(const RunState &run);

// Console command to its first frame on the bus, and event frame to its line.
struct CommandFigures {
    Summary command, freeSlot;  // all commands; those that found the shield's slot free
    size_t waitedForSlot = 0;
    Summary event;
};
CommandFigures measureCommandsAndEvents(RunState &run, const std::vector<Transfer> &log);

// The six calls' audio: delays each way, blocks lost, and how much of the host's audio the bus
// carried against what the cycle's length allows (one block per cycle for each 16 ms sent).
struct SixCallFigures {
    size_t sent = 0, received = 0;  // datagrams of the window each way
    Summary in, out, outFromExchangeEnd;
    LossCount lossIn, lossOut;
    double deliveredPct = 0, allowedPct = 0;
};
SixCallFigures measureSixCalls(const RunState &run, const std::vector<Transfer> &log,
                               double callMedianPeriodMs);

// One call under four host patterns.
struct OneCallFigures {
    bool ran = false;
    Summary paced, fast;
    double burstRecoveryMs = -1;  // from the burst until every block waits under 48 ms; -1 never
    double burstSpanMs = 0;       // how long after the burst the stretch went on
    double fastDeliveredPct = 0;
    LossCount chunks;
};
OneCallFigures measureOneCall(const RunState &run, const std::vector<Transfer> &log);

// Six calls on the faster bus.
struct FasterBusFigures {
    bool ran = false;
    Summary in;
    LossCount loss;
};
FasterBusFigures measureFasterBus(const RunState &run);

// What the driver's threads cost while six shields were idle, summed.
struct IdleFigures {
    double switchesPerSecond = 0, supervisorWakeups = 0, otherWakeups = 0;
    size_t threads = 0;
};
IdleFigures measureIdle(const RunState &run);

struct RunFigures {
    CycleFigures cycles;
    MachineFigures machine;
    CommandFigures commands;
    SixCallFigures sixCalls;
    OneCallFigures oneCall;
    FasterBusFigures fasterBus;
    IdleFigures idle;
    TickEstimate tick;
    OverrunReports overruns;
    BringUpMinimum minimum;
    std::string captureLine;  // stm-status's own count of what it captured
};
RunFigures measureRun(RunState &run);

}  // namespace Bench
