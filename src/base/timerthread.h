#pragma once
// A thread with its own event loop and a precise periodic timer (a PeriodicTimer: on an absolute
// grid, not rounded to milliseconds) whose time-out runs slotTimeOut() inside that thread. The
// thread object belongs to the thread that created it (the main thread); the timer belongs to the
// timer thread.

#include <QThread>

#include <atomic>

class PeriodicTimer;

class TimerThread : public QThread
{
    Q_OBJECT

public:
    explicit TimerThread(quint32 period);

    quint32 getPeriod() const { return period; }
    // Every later run of the thread puts itself at SCHED_FIFO `priority` before its first tick
    // (0: normal priority, the default). Called before the
    // thread starts, once the process has been granted the priority.
    void setRealTimePriority(int priority);

Q_SIGNALS:
    void timerStart(int ms);

public Q_SLOTS:
    // Restarts the running timer with another period; returns once the timer thread has done it.
    // From the timer thread itself (inside a tick) the timer is restarted directly. With the
    // thread stopped it does nothing, and the next run starts with the construction period again.
    void slotChangeSpiPeriod(int ms);

protected:
    void run() override;
    // Inside slotTimeOut(): the timer periods this tick stands for (1 on time, more when the
    // thread woke up a period or more late and ticks were lost).
    quint64 tickExpirations() const;
    // Asks the event loop to quit and waits for the thread to end. Everything the thread did is
    // then visible to the caller (the end of a run publishes it through an atomic, a join that
    // thread checkers can follow).
    void quitAndWait();

protected Q_SLOTS:
    // Called in the timer thread at every time-out; the base logs the time of day.
    virtual void slotTimeOut();

private:
    const quint32 period;
    std::atomic<int> realTimePriority{0};
    // The timer of the current run, null between runs. Touched only inside run(), but each run is
    // another OS thread, hence atomic.
    std::atomic<PeriodicTimer *> timer{nullptr};
    std::atomic<quint32> finishedRuns{0};
};
