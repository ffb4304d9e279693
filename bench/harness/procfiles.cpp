#include "harness/procfiles.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <dirent.h>
#include <unistd.h>

namespace Bench {

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

}  // namespace Bench
