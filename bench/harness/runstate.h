#pragma once
// One run of the harness: its options, its time plan, and the state its phases share (the
// programs it started, the audio peer, the moments it noted and what it measured on the way).
// The phases (phases.h) run one after another on the harness's main thread and hand each other
// everything through this object.

#include "harness/analysis.h"
#include "harness/audiopeer.h"
#include "harness/child.h"
#include "harness/load.h"
#include "harness/procfiles.h"
#include "harness/statuspoller.h"

#include <cstdint>
#include <string>
#include <vector>

namespace Bench {

constexpr double cycleMs = 16.0;
constexpr double tickMs = 2.0;
constexpr int ticksPerFirstPing = 1000;
constexpr int silentShield = 5;  // the shield that stops answering for the tick measurement
constexpr int64_t ms = 1000000;  // nanoseconds

struct Options {
    std::string driver, sim, outDir, cyclictestPath, label, statusTool;
    bool quick = false;
    bool realTimeSimulator = true;
    bool load = false;
    bool audioInTime = true;   // the one-call and faster-bus phases after the window
    int rtprio = 0;            // 0: normal priority
    long busHz = 0;            // 0: shield-sim's default (replies at once)
    long fastBusHz = 2000000;  // the faster bus of the last phase
};

// Time plan of one run, in milliseconds from the start of the measuring window.
struct Plan {
    int64_t window;       // cycle periods and cyclictest
    int64_t idleEnd;      // idle from the start of the window
    int64_t commandsEnd;  // console commands and line events until then
    int64_t sendStart;    // audio from the host (the calls start at commandsEnd)
    int64_t sendEnd;
    int64_t dropAt;  // calls end
    int64_t tick;    // first pings to the silent shield, after it was lost
    // The audio-in-time phases: each host pattern of the one call, and the six calls on the
    // faster bus.
    int64_t paced, burst, fast, chunks, fasterBus;
};

// One stretch of host audio: when it was sent and, for a burst, when the burst went.
struct AudioSpan {
    int64_t from = 0, to = 0;  // the first and after the last block sent
    int64_t burstNs = 0;
};

// The six calls on a faster bus: a driver and shield-sim of their own.
struct FasterBus {
    bool ran = false;
    std::string why;  // why it did not run
    std::string timingLog;
    AudioSpan span;
};

struct RunState {
    explicit RunState(const Options &options);

    const Options &options;
    const Plan plan;
    const std::string label, socket, timingLog, statusSocket;

    AudioPeer audio;
    Child simulator, stm, cyclictest;
    Load load;
    StatusPoller statusPoller;
    int simulatorPriority = 1;
    bool simulatorRealTime = false, haveCyclictest = false, captured = false;

    // Moments on the steady clock, in nanoseconds.
    int64_t started = 0;     // the driver's start
    int64_t w0 = 0, w1 = 0;  // the measuring window
    int64_t callFrom = 0;    // the calls' CPU from here to captureFrom
    int64_t captureFrom = 0, captureTo = 0;
    int64_t lost = 0, tickEnd = 0;  // the silent shield reported lost; the tick's end

    // Figures taken while the programme runs (the rest come from the logs afterwards).
    double readyMs = 0, pushedMs = 0;
    double idleCpu = 0, callCpu = 0, captureCpu = 0;
    std::vector<ThreadCost> idleCosts;
    std::vector<Stamp> commands, events;
    long rssKb = 0;

    AudioSpan paced, burst, fast, chunks;  // the one call's host patterns
    FasterBus fasterBus;
};

void sleepUntil(int64_t ns);
std::string fixed(double value, int decimals);
[[noreturn]] void fail(const std::string &why);

}  // namespace Bench
