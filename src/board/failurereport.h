#pragma once
// Counts the failures of one kind of hardware operation (SPI transfers, line writes) and says so
// on standard error at most once per period, with the number of failures since the last line.
// Called from the transfer thread and the main thread; a mutex guards the count and the clock.

#include <QString>

#include <chrono>
#include <mutex>

class FailureReport
{
public:
    static constexpr std::chrono::milliseconds defaultPeriod{5000};

    // what: the operation as it starts the line ("SPI: transfer on /dev/spidev1.1").
    explicit FailureReport(const QString &what,
                           std::chrono::milliseconds period = defaultPeriod);

    // Counts one failure with its errno; writes the "#ERROR" line when none was written within
    // the period.
    void failed(int error);
    // Failures counted since the process started.
    quint64 total() const;

private:
    const QString what;
    const std::chrono::milliseconds period;
    mutable std::mutex mutex;
    quint64 count = 0;         // since the last line
    quint64 totalCount = 0;
    bool reported = false;     // a line was written at lastReport
    std::chrono::steady_clock::time_point lastReport;
};
