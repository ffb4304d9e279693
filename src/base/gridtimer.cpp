#include "base/gridtimer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>
#include <sys/timerfd.h>
#include <unistd.h>

GridTimer::GridTimer()
{
    fd = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
    if (fd < 0)
        failure = QStringLiteral("timerfd: ") + QString::fromLocal8Bit(std::strerror(errno));
    origin = Clock::now();
}

GridTimer::~GridTimer()
{
    if (fd >= 0)
        ::close(fd);
}

quint64 GridTimer::tickAt(Clock::time_point t) const
{
    return t <= origin ? 0 : static_cast<quint64>((t - origin) / period);
}

void GridTimer::arm(quint64 tick)
{
    if (fd < 0)
        return;
    itimerspec when{};  // all zero: disarmed
    if (tick != never) {
        const auto end = std::chrono::duration_cast<std::chrono::nanoseconds>(
            (origin + period * static_cast<qint64>(tick)).time_since_epoch());
        when.it_value.tv_sec = static_cast<time_t>(end.count() / 1000000000);
        when.it_value.tv_nsec = static_cast<long>(end.count() % 1000000000);
    }
    ::timerfd_settime(fd, TFD_TIMER_ABSTIME, &when, nullptr);
}

void GridTimer::armNow()
{
    if (fd < 0)
        return;
    // Long past on the monotonic clock: expires at once (zero would disarm).
    const itimerspec when{{0, 0}, {0, 1}};
    ::timerfd_settime(fd, TFD_TIMER_ABSTIME, &when, nullptr);
}

void GridTimer::restart(std::chrono::nanoseconds newPeriod)
{
    std::lock_guard<PiMutex> lock(mutex);
    origin = Clock::now();
    period = std::max<std::chrono::nanoseconds>(newPeriod, std::chrono::microseconds(1));
    taken = 0;
    if (wakeTick != never)
        wakeTick = 1;
    // An owner asleep on the old grid comes to the new one's first tick (unless a wake now is on
    // its way: setting the timer again would take that back).
    if (sleeping && !wakeNowPending) {
        armed = 1;
        arm(armed);
    }
}

quint64 GridTimer::sleep(quint64 ahead)
{
    std::unique_lock<PiMutex> lock(mutex);
    quint64 due = ahead > never - taken ? never : taken + std::max<quint64>(ahead, 1);
    due = std::min(due, wakeTick);
    wakeTick = never;
    if (!wakeNowPending && due > tickAt(Clock::now())) {
        armed = due;
        sleeping = true;
        // Without a timerfd the owner wakes up every period and looks: slower, but it runs.
        const Clock::time_point nextTick = origin + period * static_cast<qint64>(taken + 1);
        if (fd >= 0)
            arm(armed);
        lock.unlock();
        quint64 expirations = 0;
        if (fd < 0)
            std::this_thread::sleep_until(nextTick);
        else
            while (::read(fd, &expirations, sizeof expirations) < 0 && errno == EINTR) {
            }
        lock.lock();
        sleeping = false;
        due = armed;  // a wake to the grid may have brought it forward
    }
    wakeNowPending = false;
    const quint64 now = tickAt(Clock::now());
    if (now < due)
        return 0;
    const quint64 ended = now - taken;
    taken = now;
    return ended;
}

quint64 GridTimer::takeEnded()
{
    std::lock_guard<PiMutex> lock(mutex);
    const quint64 now = tickAt(Clock::now());
    const quint64 ended = now > taken ? now - taken : 0;
    taken = std::max(taken, now);
    return ended;
}

void GridTimer::wakeToGrid()
{
    std::lock_guard<PiMutex> lock(mutex);
    const quint64 next = tickAt(Clock::now()) + 1;
    if (!sleeping) {
        wakeTick = std::min(wakeTick, next);
        return;
    }
    // A tick armed earlier (or one that ended already: the owner is waking up) stays.
    if (next < armed && !wakeNowPending) {
        armed = next;
        arm(armed);
    }
}

void GridTimer::wakeNow()
{
    std::lock_guard<PiMutex> lock(mutex);
    if (sleeping && !wakeNowPending)
        armNow();
    wakeNowPending = true;
}

void WakeLine::attach(GridTimer *newTimer)
{
    std::lock_guard<PiMutex> lock(mutex);
    timer = newTimer;
}

void WakeLine::detach()
{
    std::lock_guard<PiMutex> lock(mutex);
    timer = nullptr;
}

void WakeLine::ring()
{
    std::lock_guard<PiMutex> lock(mutex);
    if (timer)
        timer->wakeToGrid();
}
