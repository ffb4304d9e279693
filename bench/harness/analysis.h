#pragma once
// The arithmetic of the measuring harness: percentiles, cyclictest's samples, matching a stimulus
// to its effect, counting lost and duplicated audio blocks, how an audio path's delay and
// delivery behave over time, and the least bring-up time that the link's own timing allows.
// Plain functions on plain data, used by the harness's main thread only.

#include <array>
#include <cstdint>
#include <istream>
#include <string>
#include <vector>

namespace Bench {

// Distribution figures of a sample, in the sample's unit. Percentiles by nearest rank.
struct Summary {
    size_t count = 0;
    double min = 0, mean = 0, p50 = 0, p99 = 0, max = 0;
};
double percentile(std::vector<double> values, double p);
Summary summarize(const std::vector<double> &values);

// |period - nominal| of each period.
std::vector<double> deviations(const std::vector<double> &periods, double nominal);

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
// The share of the blocks given that came out, in percent (0 when none were given).
double deliveredPercent(const LossCount &count);

// The stamps with from <= ns < to, in their order.
std::vector<Stamp> stampsBetween(const std::vector<Stamp> &stamps, int64_t from, int64_t to);
// How long after `sinceNs` an audio path's delay came back under `limitMs` for good: the time to
// the sending of the first block from which on every block that came out (a block let go does
// not count) waited less than `limitMs`; 0 when none sent after `sinceNs` waited that long, -1
// when the last one that came out still did (or none came out).
double recoveryMs(const std::vector<Stamp> &sent, const std::vector<Stamp> &came, int64_t sinceNs,
                  double limitMs);

// The head of a test audio block: a marker, the shield and a sequence number, so a block can be
// recognised on the bus and in a datagram (the rest of the block is silence).
constexpr int audioBlockSize = 512;
std::array<uint8_t, 8> audioHead(int shield, uint32_t seq);
bool readAudioHead(const uint8_t *head, int *shield, uint32_t *seq);

// The least time from the driver's start that the link's timing allows, for one shield that
// answers at once: the reboot pulse, the first ping and its answer, the wait before
// identification, one cycle for each command sent and one for its answer, and for the push one
// command per list word plus the second pings that fall into it.
struct BringUpMinimum {
    double readyMs = 0;
    double pushedMs = 0;
};
BringUpMinimum protocolMinimum(double cycleMs, double tickMs);

}  // namespace Bench
