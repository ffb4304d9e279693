#pragma once
// The clock of a periodic thread: a grid of ticks on the monotonic clock (tick n ends n periods
// after the grid's start) and a sleep until a chosen tick, on a Linux timerfd, so every tick
// ends on the grid however long the work before it took and a sleep over many ticks costs one
// wake-up. One thread owns the timer and sleeps on it; any thread may bring the owner's wake-up
// forward: to the next grid tick (it handed the owner work) or to now (a control request). The
// owner is told how many ticks passed, so counts kept in ticks stay exact over a sleep.
//
// All fields are guarded by one mutex, which lends priority: the transfer thread wakes the
// supervisor, the console thread does too.

#include "base/pimutex.h"

#include <QString>
#include <QtGlobal>

#include <chrono>
#include <limits>

class GridTimer
{
public:
    using Clock = std::chrono::steady_clock;
    // A sleep for `never` ticks ends only when the owner is woken.
    static constexpr quint64 never = std::numeric_limits<quint64>::max();

    GridTimer();
    ~GridTimer();
    GridTimer(const GridTimer &) = delete;
    GridTimer &operator=(const GridTimer &) = delete;

    // Why the timer cannot sleep until a chosen tick (no timerfd could be had: the owner then
    // wakes up every period and looks); empty when it can.
    QString problem() const { return failure; }

    // A new grid from now with `period` (at least a microsecond); its first tick ends one period
    // from now and counts as the first after the last one taken. Any thread: an owner asleep
    // wakes up at that first tick.
    void restart(std::chrono::nanoseconds period);

    // Owner. Sleeps until the grid tick `ahead` (at least 1) ticks after the last one taken, or
    // until woken earlier; a tick that ended already does not wait. Returns how many ticks ended
    // since the last one taken (more than `ahead` when the owner came late) and takes the current
    // one; 0 when woken before any tick it waits for, which leaves the last one taken as it was.
    quint64 sleep(quint64 ahead);
    // Owner (or whoever waited for its run to end): takes the ticks that ended since the last one
    // taken, without a sleep, and returns how many.
    quint64 takeEnded();

    // Any thread: the owner's sleep ends at the next grid tick at the latest (if it is awake, its
    // next sleep does).
    void wakeToGrid();
    // Any thread: the owner's sleep ends now (if it is awake, its next sleep returns at once).
    void wakeNow();

private:
    quint64 tickAt(Clock::time_point t) const;
    // Sets the timerfd to the end of grid tick `tick` (`never`: disarmed); mutex held.
    void arm(quint64 tick);
    // Sets the timerfd to expire at once; mutex held.
    void armNow();

    int fd = -1;
    QString failure;
    PiMutex mutex;
    Clock::time_point origin;
    std::chrono::nanoseconds period{std::chrono::milliseconds(1)};
    quint64 taken = 0;      // the last tick the owner took
    quint64 armed = never;  // the tick the owner sleeps until, while it sleeps
    bool sleeping = false;
    quint64 wakeTick = never;     // a wake to the grid that came while the owner was awake
    bool wakeNowPending = false;  // a wake now that its sleep has not yet returned for
};

// How other threads ring a periodic thread they may outlive or precede: the thread attaches its
// timer while it exists, and a ring with none attached does nothing. Any thread.
class WakeLine
{
public:
    void attach(GridTimer *timer);
    void detach();
    // The attached thread looks at its work at its next grid tick.
    void ring();

private:
    PiMutex mutex;
    GridTimer *timer = nullptr;
};
