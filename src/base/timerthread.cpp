#include "base/timerthread.h"

#include "base/console.h"
#include "base/qtcompat.h"
#include "base/realtime.h"

#include <QCoreApplication>
#include <QDebug>
#include <QTime>

#include <chrono>

// The event dispatcher of a timer thread's run. Its loop blocks on the thread's grid timer and
// runs the due tick itself; what Qt posts to the thread (a deferred delete, a queued call) and
// quit wake it at once. Qt's timers and socket notifiers are not served here: the thread's
// periods are its grid.
class TimerThread::Dispatcher final : public QtCompat::EventDispatcher
{
public:
    explicit Dispatcher(TimerThread *owner) : owner(owner) {}

    bool processEvents(QEventLoop::ProcessEventsFlags flags) override
    {
        bool worked = false;
        if (posted.exchange(false)) {
            QCoreApplication::sendPostedEvents();
            worked = true;
        }
        if (interrupted.exchange(false) || worked || !(flags & QEventLoop::WaitForMoreEvents))
            return worked;
        return owner->tickWhenDue();
    }
    bool pendingEvents() const override { return posted; }
    void wakeUp() override
    {
        posted = true;
        owner->grid.wakeNow();
    }
    void interrupt() override
    {
        interrupted = true;
        owner->grid.wakeNow();
    }
    // Qt gives each run of a thread a new dispatcher of its own kind unless one is installed: the
    // next run gets one of these. Qt has let go of this one by now and deletes it next.
    void closingDown() override
    {
        owner->setEventDispatcher(new Dispatcher(owner));
        closed = true;
    }
    // The last of the thread's work at the end of a run (Qt's, after run() returned, included):
    // its end is published here, where thread checkers can follow it.
    ~Dispatcher() override
    {
        if (closed)
            owner->finishedRuns.fetch_add(1, std::memory_order_release);
    }

    void registerSocketNotifier(QSocketNotifier *) override { unserved(); }
    void unregisterSocketNotifier(QSocketNotifier *) override {}
    void registerTimer(int, Interval, Qt::TimerType, QObject *) override { unserved(); }
    bool unregisterTimer(int) override { return false; }
    bool unregisterTimers(QObject *) override { return false; }
    QList<TimerInfo> registeredTimers(QObject *) const override { return {}; }
    int remainingTime(int) override { return -1; }

private:
    void unserved() const
    {
        qWarning("%s: Qt timers and socket notifiers are not served in a timer thread",
                 qPrintable(owner->objectName()));
    }

    TimerThread *const owner;
    std::atomic<bool> posted{false};
    std::atomic<bool> interrupted{false};
    bool closed = false;
};

TimerThread::TimerThread(quint32 period) : QThread(nullptr), period(period)
{
    setEventDispatcher(new Dispatcher(this));
}

TimerThread::~TimerThread()
{
    quitAndWait();  // the subclasses stop their runs themselves; this is for a bare one
    // The dispatcher for the next run, which will not come.
    delete eventDispatcher();
}

void TimerThread::slotChangeSpiPeriod(int ms)
{
    // A period of 0 would be no grid at all; "as often as possible" is near enough.
    grid.restart(ms > 0 ? std::chrono::nanoseconds(std::chrono::milliseconds(ms))
                        : std::chrono::nanoseconds(std::chrono::microseconds(1)));
    Q_EMIT timerStart(ms);
}

void TimerThread::setRealTimePriority(int priority)
{
    realTimePriority = priority;
}

void TimerThread::run()
{
    // This run's dispatcher was made at the end of the last one.
    finishedRuns.load(std::memory_order_acquire);
    if (const int priority = realTimePriority) {
        const QString problem = RealTime::enterThread(priority);
        if (!problem.isEmpty()) {
            // The process was granted the priority at start-up; should a later run be refused
            // it, that run goes on at normal priority, and the technician hears of it once.
            static std::atomic<bool> told{false};
            if (!told.exchange(true))
                Console::err.line(QStringLiteral("#WARNING: ") + objectName() +
                                  QStringLiteral(": real-time priority refused (") + problem +
                                  QStringLiteral("): this thread runs at normal priority"));
        }
    }
    if (!grid.problem().isEmpty()) {
        static std::atomic<bool> told{false};
        if (!told.exchange(true))
            Console::err.line(QStringLiteral("#WARNING: ") + objectName() + QStringLiteral(": ") +
                              grid.problem() +
                              QStringLiteral(": the thread wakes up every period"));
    }
    grid.restart(std::chrono::milliseconds(period));
    exec();
}

bool TimerThread::tickWhenDue()
{
    const quint64 ticks = grid.sleep(ticksUntilWork());
    if (ticks == 0)
        return false;
    expirations = ticks;
    slotTimeOut();
    return true;
}

void TimerThread::quitAndWait()
{
    quit();
    wait();
    finishedRuns.load(std::memory_order_acquire);
}

void TimerThread::slotTimeOut()
{
    qDebug() << QTime::currentTime().toString(QStringLiteral("hh:mm:ss"));
}
