#pragma once
// The arithmetic of the measuring harness: reading the simulator's transfer log and cyclictest's
// samples, percentiles, matching a stimulus to its effect, counting lost and duplicated audio
// blocks, and the least bring-up time that the link's own timing allows. Plain functions on plain
// data, used by the harness's main thread only.

#include <array>
#include <cstdint>
#include <istream>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace Bench {

// One line of shield-sim's --timing-log: an SPI transfer as the simulated bus saw it.
struct Transfer {
    int64_t ns = 0;  // steady clock (CLOCK_MONOTONIC), nanoseconds
    int shield = -1;
    int length = 0;
    std::array<uint8_t, 8> sent{};           // bytes 0 to 7 the driver clocked out
    std::array<uint8_t, 8> received{};       // bytes 0 to 7 the shield clocked back
    bool hasAudio = false;                   // a long packet: the audio heads below are filled
    std::array<uint8_t, 8> sentAudio{};      // bytes 8 to 15 from the driver
    std::array<uint8_t, 8> receivedAudio{};  // bytes 8 to 15 from the shield
};

bool parseTransfer(const std::string &line, Transfer *out);
// Every well-formed line of the file, in file order; malformed lines are skipped.
std::vector<Transfer> readTransferLog(const std::string &path);

// A control frame of the link: start byte 0x0A (toggle bit aside) and a CRC that matches.
bool isValidFrame(const std::array<uint8_t, 8> &frame);
uint16_t frameNumber(const std::array<uint8_t, 8> &frame);  // bytes 4-5, big-endian

// Distribution figures of a sample, in the sample's unit. Percentiles by nearest rank.
struct Summary {
    size_t count = 0;
    double min = 0, mean = 0, p50 = 0, p99 = 0, max = 0;
};
double percentile(std::vector<double> values, double p);
Summary summarize(const std::vector<double> &values);

// Intervals in milliseconds between consecutive transfers to `shield` with from <= ns < to.
std::vector<double> cyclePeriods(const std::vector<Transfer> &log, int shield, int64_t from,
                                 int64_t to);
// |period - nominal| of each period.
std::vector<double> deviations(const std::vector<double> &periods, double nominal);

// The supervisor's first pings to a shield that never answers: one every `ticksPerPing` ticks.
struct TickEstimate {
    int pings = 0;
    double meanTickMs = 0;                        // 0 with fewer than two pings
    double minIntervalMs = 0, maxIntervalMs = 0;  // between consecutive pings
};
TickEstimate tickFromPings(const std::vector<Transfer> &log, int shield, int64_t from, int64_t to,
                           int ticksPerPing);

// cyclictest -v output: the wake-up latencies of thread 0 in microseconds, in sample order.
std::vector<double> parseCyclictest(std::istream &in);
// Period of each wake-up after the first, in milliseconds: interval + latency(k) - latency(k-1).
std::vector<double> periodsFromLatencies(const std::vector<double> &latencyUs, double intervalUs);

// Something that happened at a time, for a shield, identified by a key (a number carried in a
// frame, an audio block's sequence number).
struct Stamp {
    int64_t ns;
    int shield;
    uint32_t key;
};
// The first stamp of every (shield, key), in time order.
std::vector<Stamp> firstOccurrences(const std::vector<Stamp> &stamps);
// For every cause, the time in milliseconds to the first effect with the same shield and key at
// or after it; causes without an effect are left out (`unmatched` counts them when given).
std::vector<double> matchLatencies(const std::vector<Stamp> &causes,
                                   const std::vector<Stamp> &effects, size_t *unmatched = nullptr);

// Blocks given to a path against blocks that came out of it.
struct LossCount {
    size_t given = 0;       // distinct blocks put in
    size_t lost = 0;        // put in, never came out
    size_t duplicated = 0;  // extra copies that came out
    size_t foreign = 0;     // came out, never put in
};
LossCount countLoss(const std::vector<Stamp> &given, const std::vector<Stamp> &came);

// The head of a test audio block: a marker, the shield and a sequence number, so a block can be
// recognised on the bus and in a datagram (the rest of the block is silence).
constexpr int audioBlockSize = 512;
std::array<uint8_t, 8> audioHead(int shield, uint32_t seq);
bool readAudioHead(const uint8_t *head, int *shield, uint32_t *seq);

// Stamps drawn from the transfer log.
std::vector<Stamp> commandsOnBus(const std::vector<Transfer> &log, uint8_t code);  // driver sent
std::vector<Stamp> eventsOnBus(const std::vector<Transfer> &log, uint8_t code);    // shield sent
std::vector<Stamp> audioToShield(const std::vector<Transfer> &log);
std::vector<Stamp> audioFromShield(const std::vector<Transfer> &log);

// True when another acknowledged command (not `code` with the command's own number, no ping 1,
// no event echo) went to the command's shield between `lookBackNs` before the command was
// written and its own first frame on the bus at `onBusNs`: the command waited for the shield's
// one command slot.
bool slotWasTaken(const std::vector<Transfer> &log, const Stamp &command, int64_t onBusNs,
                  uint8_t code, int64_t lookBackNs);

// A debug-number event line of a multi-shield driver, "#DEBUG 3: 3001": shield and number.
bool parseDebugNumberLine(const std::string &line, int *shield, uint32_t *number);

// The least time from the driver's start that the link's timing allows, for one shield that
// answers at once: the reboot pulse, the first ping and its answer, the wait before
// identification, one cycle for each command sent and one for its answer, and for the push one
// command per list word plus the second pings that fall into it.
struct BringUpMinimum {
    double readyMs = 0;
    double pushedMs = 0;
};
BringUpMinimum protocolMinimum(double cycleMs, double tickMs);

// Reads the CPU time (user + system, all threads) of a process from /proc/<pid>/stat, in
// seconds; negative when it cannot be read.
double processCpuSeconds(int pid);
// Parses the contents of /proc/<pid>/stat the same way.
double cpuSecondsFromStat(const std::string &stat, long ticksPerSecond);
// VmHWM of /proc/<pid>/status in kB; negative when absent.
long peakRssKb(int pid);
long vmHwmFromStatus(const std::string &status);

// One thread of a process at one moment: its name, CPU time and context switches so far.
struct ThreadSample {
    int tid = 0;
    std::string comm;
    unsigned long long ticks = 0;     // utime + stime, clock ticks
    unsigned long long switches = 0;  // voluntary + nonvoluntary context switches
    unsigned long long wakeups = 0;   // voluntary ones: the thread slept and was woken
};
// Every thread of the process from /proc/<pid>/task; threads that end while it reads are left out.
std::vector<ThreadSample> sampleThreads(int pid);
// The name and utime + stime of a /proc/.../stat line; false when it cannot be read.
bool parseStat(const std::string &stat, std::string *comm, unsigned long long *ticks);
// voluntary_ctxt_switches + nonvoluntary_ctxt_switches of a /proc/.../status; negative when
// either is absent. `voluntary`, when given, gets the first alone.
long long contextSwitchesFromStatus(const std::string &status, long long *voluntary = nullptr);

// What the threads of one name cost between two samples of the same process: CPU in percent of
// one core and context switches per second (wake-ups plus preemptions). A thread that started in
// between counts from zero; one that ended in between is left out.
struct ThreadCost {
    std::string comm;
    int threads = 0;
    double cpuPercent = 0;
    double switchesPerSecond = 0;
    double wakeupsPerSecond = 0;
};
std::vector<ThreadCost> threadCosts(const std::vector<ThreadSample> &before,
                                    const std::vector<ThreadSample> &after, double seconds,
                                    long ticksPerSecond);  // sorted by name

// The driver's reports on its standard error that transfer cycles overran their period, lines
// such as "#WARNING: transfer cycle overran its 16 ms period in 3 cycles of the last 5 s;
// longest 17.412 ms".
struct OverrunReports {
    size_t lines = 0;
    long cycles = 0;       // the sum of the cycle counts of the lines
    double longestMs = 0;  // the longest cycle any line names
};
OverrunReports readOverrunReports(std::istream &in);

// One thread's part of a callgrind dump taken with --separate-threads=yes --compress-strings=no:
// the instructions it ran, those it ran in calls from other code into functions whose names
// begin with one of `emulation` (the emulated shields, not there on the board), the calls of each
// function, and the names of the functions on its stacks.
struct CallgrindThread {
    int thread = 0;
    uint64_t instructions = 0;
    uint64_t emulated = 0;
    std::map<std::string, uint64_t> calls;
    std::set<std::string> functions;
};
CallgrindThread readCallgrind(std::istream &in, const std::vector<std::string> &emulation);
// The calls of every function whose name begins with `prefix` ("SPItransmitter::main_func(").
uint64_t callsOf(const CallgrindThread &thread, const std::string &prefix);

}  // namespace Bench
