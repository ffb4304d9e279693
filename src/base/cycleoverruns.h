#pragma once
// Counts the cycles of a periodic thread whose work took longer than the period, and says so on
// standard error at most once per report interval: the count since the last report and the
// longest of those cycles. A late cycle is never skipped silently. Used by the thread it counts
// for; the totals may be read from any thread.

#include <QString>

#include <atomic>
#include <chrono>

class CycleOverruns
{
public:
    using Clock = std::chrono::steady_clock;

    CycleOverruns(const QString &what, std::chrono::nanoseconds period,
                  std::chrono::nanoseconds reportEvery = std::chrono::seconds(5));

    // One cycle's work from its start to its end. Returns the warning line that is due now (the
    // first overrun is told at once, later ones gathered for the interval), else an empty text.
    QString cycle(Clock::time_point start, Clock::time_point end);

    quint64 total() const { return overruns.load(std::memory_order_relaxed); }
    // The longest cycle of all so far, in microseconds.
    quint64 longestUs() const { return longest.load(std::memory_order_relaxed); }

private:
    const QString what;
    const std::chrono::nanoseconds period;
    const std::chrono::nanoseconds reportEvery;
    Clock::time_point lastReport{};
    bool reported = false;
    quint64 pending = 0;  // overruns not yet told
    std::chrono::nanoseconds pendingLongest{0};
    std::atomic<quint64> overruns{0};
    std::atomic<quint64> longest{0};
};
