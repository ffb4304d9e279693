#include "base/cycleoverruns.h"

#include <algorithm>

CycleOverruns::CycleOverruns(const QString &what, std::chrono::nanoseconds period,
                             std::chrono::nanoseconds reportEvery)
    : what(what), period(period), reportEvery(reportEvery)
{}

QString CycleOverruns::cycle(Clock::time_point start, Clock::time_point end, quint64 expirations)
{
    using namespace std::chrono;
    const nanoseconds took = end - start;
    const quint64 tookUs = static_cast<quint64>(duration_cast<microseconds>(took).count());
    if (tookUs > longest.load(std::memory_order_relaxed))
        longest.store(tookUs, std::memory_order_relaxed);
    // The periods missed before this one began: their cycles never ran on time.
    const quint64 late = (expirations > 1 ? expirations - 1 : 0) + (took > period ? 1 : 0);
    if (late > 0) {
        overruns.fetch_add(late, std::memory_order_relaxed);
        pending += late;
        // Work shorter than the period among them: the thread woke up late, it did not overrun.
        pendingLongest = std::max(pendingLongest, took);
    }
    if (pending == 0 || (reported && end - lastReport < reportEvery))
        return QString();
    const QString line =
        QStringLiteral(
            "#WARNING: %1 overran its %2 ms period: %3 cycle%4 late or overran in the "
            "last %5 s; longest %6 ms")
            .arg(what)
            .arg(duration_cast<milliseconds>(period).count())
            .arg(pending)
            .arg(pending == 1 ? QString() : QStringLiteral("s"))
            .arg(duration_cast<seconds>(reportEvery).count())
            .arg(duration_cast<microseconds>(pendingLongest).count() / 1000.0, 0, 'f', 3);
    reported = true;
    lastReport = end;
    pending = 0;
    pendingLongest = nanoseconds(0);
    return line;
}
