#include "harness/analysis.h"

#include "link/crc16.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <dirent.h>
#include <unistd.h>

namespace Bench {

namespace {

bool parseHex8(const std::string &word, std::array<uint8_t, 8> *bytes)
{
    if (word.size() != 16)
        return false;
    for (size_t i = 0; i < 8; ++i) {
        unsigned value = 0;
        for (size_t j = 0; j < 2; ++j) {
            const char c = word[2 * i + j];
            value <<= 4;
            if (c >= '0' && c <= '9')
                value |= static_cast<unsigned>(c - '0');
            else if (c >= 'a' && c <= 'f')
                value |= static_cast<unsigned>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F')
                value |= static_cast<unsigned>(c - 'A' + 10);
            else
                return false;
        }
        (*bytes)[i] = static_cast<uint8_t>(value);
    }
    return true;
}

constexpr uint8_t headMarker0 = 0xA7;
constexpr uint8_t headMarker1 = 0x5E;

}  // namespace

bool parseTransfer(const std::string &line, Transfer *out)
{
    std::istringstream in(line);
    std::string tag, sent, received;
    Transfer t;
    if (!(in >> tag >> t.ns >> t.shield >> t.length >> sent >> received) || tag != "T")
        return false;
    if (!parseHex8(sent, &t.sent) || !parseHex8(received, &t.received))
        return false;
    std::string sentAudio, receivedAudio;
    if (in >> sentAudio >> receivedAudio) {
        if (!parseHex8(sentAudio, &t.sentAudio) || !parseHex8(receivedAudio, &t.receivedAudio))
            return false;
        t.hasAudio = true;
    }
    *out = t;
    return true;
}

std::vector<Transfer> readTransferLog(const std::string &path)
{
    std::vector<Transfer> log;
    std::ifstream in(path);
    std::string line;
    Transfer t;
    while (std::getline(in, line)) {
        if (parseTransfer(line, &t))
            log.push_back(t);
    }
    return log;
}

bool isValidFrame(const std::array<uint8_t, 8> &frame)
{
    if ((frame[0] & 0x7F) != 0x0A)
        return false;
    const quint16 crc = CRC16::calc(frame.data(), 6);
    return frame[6] == (crc >> 8) && frame[7] == (crc & 0xFF);
}

uint16_t frameNumber(const std::array<uint8_t, 8> &frame)
{
    return static_cast<uint16_t>(frame[4] << 8 | frame[5]);
}

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

std::vector<double> cyclePeriods(const std::vector<Transfer> &log, int shield, int64_t from,
                                 int64_t to)
{
    std::vector<double> periods;
    int64_t previous = -1;
    for (const Transfer &t : log) {
        if (t.shield != shield || t.ns < from || t.ns >= to)
            continue;
        if (previous >= 0)
            periods.push_back(static_cast<double>(t.ns - previous) / 1e6);
        previous = t.ns;
    }
    return periods;
}

std::vector<double> deviations(const std::vector<double> &periods, double nominal)
{
    std::vector<double> d;
    d.reserve(periods.size());
    for (double p : periods)
        d.push_back(std::fabs(p - nominal));
    return d;
}

TickEstimate tickFromPings(const std::vector<Transfer> &log, int shield, int64_t from, int64_t to,
                           int ticksPerPing)
{
    std::vector<int64_t> pings;
    for (const Transfer &t : log) {
        if (t.shield == shield && t.ns >= from && t.ns < to && isValidFrame(t.sent) &&
            t.sent[1] == 0x60)
            pings.push_back(t.ns);
    }
    TickEstimate e;
    e.pings = static_cast<int>(pings.size());
    if (pings.size() < 2)
        return e;
    const double span = static_cast<double>(pings.back() - pings.front()) / 1e6;
    e.meanTickMs = span / static_cast<double>((pings.size() - 1) * ticksPerPing);
    e.minIntervalMs = 1e300;
    for (size_t i = 1; i < pings.size(); ++i) {
        const double interval = static_cast<double>(pings[i] - pings[i - 1]) / 1e6;
        e.minIntervalMs = std::min(e.minIntervalMs, interval);
        e.maxIntervalMs = std::max(e.maxIntervalMs, interval);
    }
    return e;
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

std::vector<Stamp> commandsOnBus(const std::vector<Transfer> &log, uint8_t code)
{
    std::vector<Stamp> stamps;
    for (const Transfer &t : log) {
        if (t.shield >= 0 && isValidFrame(t.sent) && t.sent[1] == code)
            stamps.push_back({t.ns, t.shield, frameNumber(t.sent)});
    }
    return stamps;
}

std::vector<Stamp> eventsOnBus(const std::vector<Transfer> &log, uint8_t code)
{
    std::vector<Stamp> stamps;
    for (const Transfer &t : log) {
        if (t.shield >= 0 && isValidFrame(t.received) && t.received[1] == code)
            stamps.push_back({t.ns, t.shield, frameNumber(t.received)});
    }
    return stamps;
}

namespace {

std::vector<Stamp> audioStamps(const std::vector<Transfer> &log, bool toShield)
{
    std::vector<Stamp> stamps;
    for (const Transfer &t : log) {
        if (!t.hasAudio || t.shield < 0)
            continue;
        int shield = -1;
        uint32_t seq = 0;
        if (readAudioHead(toShield ? t.sentAudio.data() : t.receivedAudio.data(), &shield, &seq) &&
            shield == t.shield)
            stamps.push_back({t.ns, shield, seq});
    }
    return stamps;
}

}  // namespace

std::vector<Stamp> audioToShield(const std::vector<Transfer> &log)
{
    return audioStamps(log, true);
}

std::vector<Stamp> audioFromShield(const std::vector<Transfer> &log)
{
    return audioStamps(log, false);
}

bool slotWasTaken(const std::vector<Transfer> &log, const Stamp &command, int64_t onBusNs,
                  uint8_t code, int64_t lookBackNs)
{
    for (const Transfer &t : log) {
        if (t.shield != command.shield || t.ns < command.ns - lookBackNs || t.ns >= onBusNs)
            continue;
        if (!isValidFrame(t.sent) || (t.sent[1] & 0x80) || t.sent[1] == 0x60)
            continue;
        if (t.sent[1] == code && frameNumber(t.sent) == command.key)
            continue;
        return true;
    }
    return false;
}

bool parseDebugNumberLine(const std::string &line, int *shield, uint32_t *number)
{
    std::istringstream in(line);
    std::string tag, rest;
    long s = -1;
    char colon = 0;
    unsigned long n = 0;
    if (!(in >> tag >> s >> colon >> n) || tag != "#DEBUG" || colon != ':' || (in >> rest))
        return false;
    // ">>" would also take "#DEBUG 3 : 5" or "#DEBUG 3:5"; the driver writes "#DEBUG 3: 5".
    if (line != "#DEBUG " + std::to_string(s) + ": " + std::to_string(n))
        return false;
    *shield = static_cast<int>(s);
    *number = static_cast<uint32_t>(n);
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

bool parseStat(const std::string &stat, std::string *comm, unsigned long long *ticks)
{
    // The command name in parentheses may hold spaces: the fields are counted after the last ')'.
    const size_t open = stat.find('(');
    const size_t close = stat.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open)
        return false;
    std::istringstream in(stat.substr(close + 1));
    std::string field;
    // Fields 3 to 13 come first; utime and stime are fields 14 and 15.
    for (int i = 3; i <= 13; ++i) {
        if (!(in >> field))
            return false;
    }
    unsigned long long utime = 0, stime = 0;
    if (!(in >> utime >> stime))
        return false;
    *comm = stat.substr(open + 1, close - open - 1);
    *ticks = utime + stime;
    return true;
}

double cpuSecondsFromStat(const std::string &stat, long ticksPerSecond)
{
    std::string comm;
    unsigned long long ticks = 0;
    if (ticksPerSecond <= 0 || !parseStat(stat, &comm, &ticks))
        return -1;
    return static_cast<double>(ticks) / static_cast<double>(ticksPerSecond);
}

double processCpuSeconds(int pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return cpuSecondsFromStat(stat, ::sysconf(_SC_CLK_TCK));
}

long vmHwmFromStatus(const std::string &status)
{
    std::istringstream in(status);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, 6, "VmHWM:") == 0)
            return std::stol(line.substr(6));
    }
    return -1;
}

long peakRssKb(int pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string status((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return vmHwmFromStatus(status);
}

namespace {

std::string readFile(const std::string &path)
{
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace

long long contextSwitchesFromStatus(const std::string &status, long long *voluntaryOut)
{
    long long voluntary = -1, involuntary = -1;
    std::istringstream in(status);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, 24, "voluntary_ctxt_switches:") == 0)
            voluntary = std::stoll(line.substr(24));
        else if (line.compare(0, 27, "nonvoluntary_ctxt_switches:") == 0)
            involuntary = std::stoll(line.substr(27));
    }
    if (voluntaryOut)
        *voluntaryOut = voluntary;
    return voluntary < 0 || involuntary < 0 ? -1 : voluntary + involuntary;
}

std::vector<ThreadSample> sampleThreads(int pid)
{
    std::vector<ThreadSample> threads;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR *dir = ::opendir(tasks.c_str());
    if (!dir)
        return threads;
    while (dirent *entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        const std::string task = tasks + "/" + entry->d_name;
        ThreadSample t;
        t.tid = std::atoi(entry->d_name);
        long long wakeups = 0;
        const long long switches = contextSwitchesFromStatus(readFile(task + "/status"), &wakeups);
        if (!parseStat(readFile(task + "/stat"), &t.comm, &t.ticks) || switches < 0)
            continue;  // ended meanwhile
        t.switches = static_cast<unsigned long long>(switches);
        t.wakeups = static_cast<unsigned long long>(wakeups);
        threads.push_back(t);
    }
    ::closedir(dir);
    return threads;
}

std::vector<ThreadCost> threadCosts(const std::vector<ThreadSample> &before,
                                    const std::vector<ThreadSample> &after, double seconds,
                                    long ticksPerSecond)
{
    std::map<int, const ThreadSample *> earlier;
    for (const ThreadSample &t : before)
        earlier[t.tid] = &t;
    std::map<std::string, ThreadCost> byName;
    for (const ThreadSample &t : after) {
        unsigned long long ticks = t.ticks, switches = t.switches, wakeups = t.wakeups;
        const auto found = earlier.find(t.tid);
        if (found != earlier.end()) {
            ticks -= std::min(ticks, found->second->ticks);
            switches -= std::min(switches, found->second->switches);
            wakeups -= std::min(wakeups, found->second->wakeups);
        }
        ThreadCost &cost = byName[t.comm];
        cost.comm = t.comm;
        ++cost.threads;
        if (seconds > 0 && ticksPerSecond > 0) {
            cost.cpuPercent +=
                static_cast<double>(ticks) / static_cast<double>(ticksPerSecond) / seconds * 100.0;
            cost.switchesPerSecond += static_cast<double>(switches) / seconds;
            cost.wakeupsPerSecond += static_cast<double>(wakeups) / seconds;
        }
    }
    std::vector<ThreadCost> costs;
    for (const auto &entry : byName)
        costs.push_back(entry.second);
    return costs;
}

OverrunReports readOverrunReports(std::istream &in)
{
    static const std::string head = "#WARNING: transfer cycle overran";
    OverrunReports reports;
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, head.size(), head) != 0)
            continue;
        ++reports.lines;
        // The cycle count is the first number after ": " ("... period: 3 cycles late or
        // overran ...") or, in the lines of older drivers, after " in " ("... period in 3
        // cycles of ...").
        bool counted = false;
        for (const char *mark : {": ", " in "}) {
            const size_t width = std::strlen(mark);
            for (size_t at = line.find(mark, head.size()); at != std::string::npos && !counted;
                 at = line.find(mark, at + 1)) {
                const char *digits = line.c_str() + at + width;
                if (*digits >= '0' && *digits <= '9') {
                    reports.cycles += std::strtol(digits, nullptr, 10);
                    counted = true;
                }
            }
            if (counted)
                break;
        }
        const size_t longest = line.find("longest ");
        if (longest != std::string::npos) {
            const char *number = line.c_str() + longest + 8;
            char *end = nullptr;
            const double value = std::strtod(number, &end);
            if (end != number && std::string(end).compare(0, 3, " ms") == 0)
                reports.longestMs = std::max(reports.longestMs, value);
        }
    }
    return reports;
}

CallgrindThread readCallgrind(std::istream &in, const std::vector<std::string> &emulation)
{
    CallgrindThread result;
    const auto startsWith = [](const std::string &text, const std::string &head) {
        return text.compare(0, head.size(), head) == 0;
    };
    const auto emulated = [&](const std::string &function) {
        return std::any_of(emulation.begin(), emulation.end(),
                           [&](const std::string &head) { return startsWith(function, head); });
    };
    std::string function;  // the one the cost lines belong to
    std::string called;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty())
            continue;
        if (startsWith(line, "thread: ")) {
            result.thread = std::atoi(line.c_str() + 8);
        } else if (startsWith(line, "summary: ")) {
            result.instructions = std::strtoull(line.c_str() + 9, nullptr, 10);
        } else if (startsWith(line, "fn=")) {
            function = line.substr(3);
            result.functions.insert(function);
        } else if (startsWith(line, "cfn=")) {
            called = line.substr(4);
            result.functions.insert(called);
        } else if (startsWith(line, "calls=")) {
            result.calls[called] += std::strtoull(line.c_str() + 6, nullptr, 10);
            // The line after is the call's cost, its callee's work included: "<position> <Ir>".
            if (std::getline(in, line) && emulated(called) && !emulated(function)) {
                const size_t space = line.find(' ');
                if (space != std::string::npos)
                    result.emulated += std::strtoull(line.c_str() + space + 1, nullptr, 10);
            }
        }
    }
    return result;
}

uint64_t callsOf(const CallgrindThread &thread, const std::string &prefix)
{
    uint64_t n = 0;
    for (const auto &entry : thread.calls) {
        if (entry.first.compare(0, prefix.size(), prefix) == 0)
            n += entry.second;
    }
    return n;
}

}  // namespace Bench
