#pragma once
// Counts the failures of one kind of hardware operation (SPI transfers, line writes) and says so
// on standard error at most once per period, with the number of failures since the last line.
// The first failure is told at once; those within a period of a line wait for flush(), which the
// transfer thread calls after every cycle, so the end of a burst is told at most a period after
// its last line, even when no failure follows. Called from the transfer thread and the main
// thread; a mutex guards the count and the clock.

#include "base/pimutex.h"

#include <QString>

#include <atomic>
#include <chrono>

class FailureReport
{
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds defaultPeriod{5000};

    // what: the operation as it starts the line ("SPI: transfer on /dev/spidev1.1").
    explicit FailureReport(const QString &what, std::chrono::milliseconds period = defaultPeriod);

    // Counts one failure with its errno; writes the "#ERROR" line when none was written within
    // the period.
    void failed(int error, Clock::time_point now = Clock::now());
    // Writes the line for the failures counted since the last one, once the period has passed.
    // While nothing waits for a line, the clock is not even read.
    void flush()
    {
        if (held.load(std::memory_order_relaxed))
            flush(Clock::now());
    }
    void flush(Clock::time_point now);
    // Failures counted since the process started.
    quint64 total() const;

private:
    // Under the mutex: takes the count of the line due at `now` (0: none is due).
    quint64 takeDue(Clock::time_point now);
    void writeLine(quint64 failures, int error) const;

    const QString what;
    const std::chrono::milliseconds period;
    mutable PiMutex mutex;  // priority-inheriting: the transfer thread takes it too
    quint64 count = 0;      // since the last line
    quint64 totalCount = 0;
    int lastError = 0;      // errno of the latest failure
    bool reported = false;  // a line was written at lastReport
    // Failures wait for a line: flush() has work. Read without the lock, so the transfer
    // thread's flush after every cycle costs one load while nothing failed.
    std::atomic<bool> held{false};
    Clock::time_point lastReport;
};
