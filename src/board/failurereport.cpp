#include "board/failurereport.h"

#include "base/console.h"

#include <cstring>
#include <mutex>

constexpr std::chrono::milliseconds FailureReport::defaultPeriod;

FailureReport::FailureReport(const QString &what, std::chrono::milliseconds period)
    : what(what), period(period)
{}

quint64 FailureReport::takeDue(Clock::time_point now)
{
    if (count == 0 || (reported && now - lastReport < period))
        return 0;
    reported = true;
    lastReport = now;
    const quint64 n = count;
    count = 0;
    return n;
}

void FailureReport::failed(int error, Clock::time_point now)
{
    quint64 n = 0;
    {
        std::lock_guard<PiMutex> lock(mutex);
        ++count;
        ++totalCount;
        lastError = error;
        n = takeDue(now);
        held.store(count != 0, std::memory_order_relaxed);
    }
    if (n > 0)
        writeLine(n, error);
}

void FailureReport::flush(Clock::time_point now)
{
    if (!held.load(std::memory_order_relaxed))
        return;
    quint64 n = 0;
    int error = 0;
    {
        std::lock_guard<PiMutex> lock(mutex);
        n = takeDue(now);
        held.store(count != 0, std::memory_order_relaxed);
        error = lastError;
    }
    if (n > 0)
        writeLine(n, error);
}

void FailureReport::writeLine(quint64 failures, int error) const
{
    Console::err.line(QStringLiteral("#ERROR: ") + what + QStringLiteral(" failed: ") +
                      QString::fromLocal8Bit(std::strerror(error)) + QStringLiteral(" (") +
                      QString::number(failures) +
                      QLatin1String(failures == 1 ? " failure" : " failures") +
                      QStringLiteral(" since the last report)"));
}

quint64 FailureReport::total() const
{
    std::lock_guard<PiMutex> lock(mutex);
    return totalCount;
}
