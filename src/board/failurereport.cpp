#include "board/failurereport.h"

#include "base/console.h"

#include <cstring>

constexpr std::chrono::milliseconds FailureReport::defaultPeriod;

FailureReport::FailureReport(const QString &what, std::chrono::milliseconds period)
    : what(what), period(period)
{
}

void FailureReport::failed(int error)
{
    const auto now = std::chrono::steady_clock::now();
    quint64 n = 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        ++count;
        ++totalCount;
        if (reported && now - lastReport < period)
            return;
        reported = true;
        lastReport = now;
        n = count;
        count = 0;
    }
    Console::err.line(QStringLiteral("#ERROR: ") + what + QStringLiteral(" failed: ") +
                      QString::fromLocal8Bit(std::strerror(error)) + QStringLiteral(" (") +
                      QString::number(n) + QLatin1String(n == 1 ? " failure" : " failures") +
                      QStringLiteral(" since the last report)"));
}

quint64 FailureReport::total() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return totalCount;
}
