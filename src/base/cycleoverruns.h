#pragma once
// Counts the cycles of a periodic thread that came late or whose work took longer than the
// period, and says so on standard error at most once per report interval: the count since the
// last report and the longest work of a cycle among them. A thread that wakes up more than a
// period late finds several expirations of its timer folded into one wake-up: each period it
// missed counts as a late cycle, so a late cycle is never skipped silently. Used by the thread it
// counts for; the totals may be read from any thread.

#include <QString>

#include <atomic>
#include <chrono>

class CycleOverruns
{
public:
    using Clock = std::chrono::steady_clock;

    CycleOverruns(const QString &what, std::chrono::nanoseconds period,
                  std::chrono::nanoseconds reportEvery = std::chrono::seconds(5));

    // One cycle's work from its start to its end; `expirations`: the periods of the timer that
    // ended since the previous cycle began its work (1 on time; more when the thread woke up a
    // period or more late). Returns the warning line that is due now (the first late or
    // overrunning cycle is told at once, later ones gathered for the interval), else an empty
    // text. Every line and every report interval also ends with a later call: a thread whose
    // cycles run on flushes what is pending by running on.
    QString cycle(Clock::time_point start, Clock::time_point end, quint64 expirations = 1);

    // Cycles late or overrunning, over the counter's life.
    quint64 total() const { return overruns.load(std::memory_order_relaxed); }
    // The longest cycle of all so far, in microseconds.
    quint64 longestUs() const { return longest.load(std::memory_order_relaxed); }

private:
    const QString what;
    const std::chrono::nanoseconds period;
    const std::chrono::nanoseconds reportEvery;
    Clock::time_point lastReport{};
    bool reported = false;
    quint64 pending = 0;  // late or overrunning cycles not yet told
    std::chrono::nanoseconds pendingLongest{0};
    std::atomic<quint64> overruns{0};
    std::atomic<quint64> longest{0};
};
