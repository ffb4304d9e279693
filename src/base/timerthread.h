#pragma once
// A periodic thread: it sleeps on a grid timer (an absolute grid, not rounded to milliseconds)
// and runs slotTimeOut() inside that thread at each tick it has work for. The thread blocks on
// its timer directly; its event loop only serves the rare control requests that Qt posts to it
// (quit, a deferred delete, a queued call), so an idle thread costs one wake-up per tick it works
// and none in between. The thread object belongs to the thread that created it (the main
// thread); the timer is shared with the threads that wake it.

#include "base/gridtimer.h"

#include <QThread>

#include <atomic>

class TimerThread : public QThread
{
    Q_OBJECT

public:
    explicit TimerThread(quint32 period);
    ~TimerThread() override;

    quint32 getPeriod() const { return period; }
    // Every later run of the thread puts itself at SCHED_FIFO `priority` before its first tick
    // (0: normal priority, the default). Called before the
    // thread starts, once the process has been granted the priority.
    void setRealTimePriority(int priority);

Q_SIGNALS:
    // The running timer was restarted with the period `ms`.
    void timerStart(int ms);

public Q_SLOTS:
    // Restarts the running timer with another period; the next tick comes one period from now.
    // Done when it returns, from any thread, also from inside a tick. With the thread stopped it
    // changes nothing: the next run starts with the construction period again.
    void slotChangeSpiPeriod(int ms);

protected:
    void run() override;
    // Inside slotTimeOut(): the timer periods this tick stands for (1 for a tick on time after
    // one the period before; more when the thread slept over ticks it had no work for, or woke
    // up a period or more late).
    quint64 tickExpirations() const { return expirations; }
    // In the thread, between ticks: how many periods after the last tick the next one is due
    // (GridTimer::never: none until another thread wakes it). Every period by default.
    virtual quint64 ticksUntilWork() { return 1; }
    // Where other threads wake this one to its next grid tick.
    GridTimer &timer() { return grid; }
    // Asks the event loop to quit and waits for the thread to end. Everything the thread did is
    // then visible to the caller (the end of a run publishes it through an atomic, a join that
    // thread checkers can follow, as they cannot follow Qt's own).
    void quitAndWait();

protected Q_SLOTS:
    // Called in the timer thread at every tick; the base logs the time of day.
    virtual void slotTimeOut();

private:
    class Dispatcher;

    // Sleeps until the next tick due or a wake-up; runs the tick when one is due (true).
    bool tickWhenDue();

    const quint32 period;
    std::atomic<int> realTimePriority{0};
    GridTimer grid;
    quint64 expirations = 1;  // the running thread's only
    std::atomic<quint32> finishedRuns{0};
};
