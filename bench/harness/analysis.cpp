#include "harness/analysis.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <map>
#include <set>
#include <sstream>

namespace Bench {

namespace {

constexpr uint8_t headMarker0 = 0xA7;
constexpr uint8_t headMarker1 = 0x5E;

}  // namespace

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    // Nearest rank: the smallest value with at least p percent of the sample at or below it.
    const double rank = std::ceil(p / 100.0 * static_cast<double>(values.size()));
    const size_t index = rank < 1 ? 0 : static_cast<size_t>(rank) - 1;
    return values[std::min(index, values.size() - 1)];
}

Summary summarize(const std::vector<double> &values)
{
    Summary s;
    s.count = values.size();
    if (values.empty())
        return s;
    s.min = *std::min_element(values.begin(), values.end());
    s.max = *std::max_element(values.begin(), values.end());
    double sum = 0;
    for (double v : values)
        sum += v;
    s.mean = sum / static_cast<double>(values.size());
    s.p50 = percentile(values, 50);
    s.p99 = percentile(values, 99);
    return s;
}

std::vector<double> deviations(const std::vector<double> &periods, double nominal)
{
    std::vector<double> d;
    d.reserve(periods.size());
    for (double p : periods)
        d.push_back(std::fabs(p - nominal));
    return d;
}

std::vector<double> parseCyclictest(std::istream &in)
{
    // Sample lines read "       0:     122:      80": thread, loop count, latency in us.
    std::vector<double> latencies;
    std::string line;
    while (std::getline(in, line)) {
        long thread = 0, count = 0, latency = 0;
        char c1 = 0, c2 = 0;
        std::istringstream words(line);
        if (!(words >> thread >> c1 >> count >> c2 >> latency) || c1 != ':' || c2 != ':')
            continue;
        std::string rest;
        if (words >> rest)
            continue;  // not a sample line
        if (thread == 0)
            latencies.push_back(static_cast<double>(latency));
    }
    return latencies;
}

std::vector<double> periodsFromLatencies(const std::vector<double> &latencyUs, double intervalUs)
{
    std::vector<double> periods;
    for (size_t k = 1; k < latencyUs.size(); ++k)
        periods.push_back((intervalUs + latencyUs[k] - latencyUs[k - 1]) / 1000.0);
    return periods;
}

std::vector<Stamp> firstOccurrences(const std::vector<Stamp> &stamps)
{
    std::vector<Stamp> sorted = stamps;
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const Stamp &a, const Stamp &b) { return a.ns < b.ns; });
    std::set<std::pair<int, uint32_t>> seen;
    std::vector<Stamp> first;
    for (const Stamp &s : sorted) {
        if (seen.insert({s.shield, s.key}).second)
            first.push_back(s);
    }
    return first;
}

std::vector<double> matchLatencies(const std::vector<Stamp> &causes,
                                   const std::vector<Stamp> &effects, size_t *unmatched)
{
    std::map<std::pair<int, uint32_t>, std::vector<int64_t>> byKey;
    for (const Stamp &e : effects)
        byKey[{e.shield, e.key}].push_back(e.ns);
    for (auto &entry : byKey)
        std::sort(entry.second.begin(), entry.second.end());
    std::vector<double> latencies;
    size_t missing = 0;
    for (const Stamp &c : causes) {
        const auto found = byKey.find({c.shield, c.key});
        if (found == byKey.end()) {
            ++missing;
            continue;
        }
        const auto &times = found->second;
        const auto at = std::lower_bound(times.begin(), times.end(), c.ns);
        if (at == times.end()) {
            ++missing;
            continue;
        }
        latencies.push_back(static_cast<double>(*at - c.ns) / 1e6);
    }
    if (unmatched)
        *unmatched = missing;
    return latencies;
}

LossCount countLoss(const std::vector<Stamp> &given, const std::vector<Stamp> &came)
{
    std::set<std::pair<int, uint32_t>> in;
    for (const Stamp &g : given)
        in.insert({g.shield, g.key});
    std::map<std::pair<int, uint32_t>, size_t> out;
    for (const Stamp &c : came)
        ++out[{c.shield, c.key}];
    LossCount count;
    count.given = in.size();
    for (const auto &key : in) {
        const auto found = out.find(key);
        if (found == out.end())
            ++count.lost;
        else
            count.duplicated += found->second - 1;
    }
    for (const auto &entry : out) {
        if (!in.count(entry.first))
            ++count.foreign;
    }
    return count;
}

double deliveredPercent(const LossCount &count)
{
    return count.given == 0 ? 0
                            : 100.0 * static_cast<double>(count.given - count.lost) /
                                  static_cast<double>(count.given);
}

std::vector<Stamp> stampsBetween(const std::vector<Stamp> &stamps, int64_t from, int64_t to)
{
    std::vector<Stamp> between;
    std::copy_if(stamps.begin(), stamps.end(), std::back_inserter(between),
                 [&](const Stamp &s) { return s.ns >= from && s.ns < to; });
    return between;
}

double recoveryMs(const std::vector<Stamp> &sent, const std::vector<Stamp> &came, int64_t sinceNs,
                  double limitMs)
{
    std::vector<Stamp> after = stampsBetween(sent, sinceNs, INT64_MAX);
    std::stable_sort(after.begin(), after.end(),
                     [](const Stamp &a, const Stamp &b) { return a.ns < b.ns; });
    std::map<std::pair<int, uint32_t>, int64_t> out;
    for (const Stamp &c : firstOccurrences(came))
        out.insert({{c.shield, c.key}, c.ns});
    bool anyCame = false;
    // From the last block backwards: the recovery begins after the last one that waited too long.
    for (size_t i = after.size(); i-- > 0;) {
        const auto found = out.find({after[i].shield, after[i].key});
        if (found == out.end() || found->second < after[i].ns)
            continue;
        if (static_cast<double>(found->second - after[i].ns) / 1e6 >= limitMs)
            return anyCame ? static_cast<double>(after[i + 1].ns - sinceNs) / 1e6 : -1;
        anyCame = true;
    }
    return anyCame ? 0 : -1;
}

std::array<uint8_t, 8> audioHead(int shield, uint32_t seq)
{
    return {headMarker0,
            headMarker1,
            static_cast<uint8_t>(shield),
            static_cast<uint8_t>(~shield),
            static_cast<uint8_t>(seq),
            static_cast<uint8_t>(seq >> 8),
            static_cast<uint8_t>(seq >> 16),
            static_cast<uint8_t>(seq >> 24)};
}

bool readAudioHead(const uint8_t *head, int *shield, uint32_t *seq)
{
    if (head[0] != headMarker0 || head[1] != headMarker1 ||
        head[3] != static_cast<uint8_t>(~head[2]))
        return false;
    *shield = head[2];
    *seq = static_cast<uint32_t>(head[4]) | static_cast<uint32_t>(head[5]) << 8 |
           static_cast<uint32_t>(head[6]) << 16 | static_cast<uint32_t>(head[7]) << 24;
    return true;
}

BringUpMinimum protocolMinimum(double cycleMs, double tickMs)
{
    const double reboot = 600 + 200;  // reset held low, then settling
    const double pingAndAnswer =
        2 * cycleMs;               // first cycle sends the ping, the next brings the answer
    const double waitTicks = 750;  // after the answer, before identification
    const double identification = 7 * 2 - 1;  // 7 commands: sent, answered, next one; last answer
    BringUpMinimum m;
    m.readyMs = reboot + pingAndAnswer + waitTicks * tickMs + identification * cycleMs;
    // The push: 2 x 64 words. The shield comes online right after a cycle, so the first word goes
    // out one cycle later; each word is acknowledged in the cycle after it was sent, and the next
    // one goes in the cycle after that: two cycles a word. The second ping queued when the shield
    // comes online and the one due 3 s (1500 ticks) later take two cycles each.
    const double words = 2 * 64;
    const double pushMs0 = 2 * words * cycleMs;
    const double secondPings = 1 + std::floor(pushMs0 / (1500 * tickMs));
    m.pushedMs = m.readyMs + pushMs0 + secondPings * 2 * cycleMs;
    return m;
}

}  // namespace Bench
