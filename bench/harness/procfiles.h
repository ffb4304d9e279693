#pragma once
// What a process costs, read from /proc: CPU time, peak memory and, per thread, CPU and context
// switches. The parsers take the files' text, so that tests can give them any.

#include <string>
#include <vector>

namespace Bench {

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

}  // namespace Bench
