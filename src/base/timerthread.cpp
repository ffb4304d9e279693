#include "base/timerthread.h"

#include "base/console.h"
#include "base/periodictimer.h"
#include "base/realtime.h"

#include <QDebug>
#include <QTime>

TimerThread::TimerThread(quint32 period) : QThread(nullptr), period(period) {}

void TimerThread::slotChangeSpiPeriod(int ms)
{
    // Inside a tick the blocking connection would wait for this very thread's event loop, which
    // is busy running the tick: the thread would hang for good.
    if (QThread::currentThread() == this) {
        if (PeriodicTimer *current = timer)
            current->start(ms);
        return;
    }
    Q_EMIT timerStart(ms);
}

void TimerThread::setRealTimePriority(int priority)
{
    realTimePriority = priority;
}

void TimerThread::run()
{
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
    // The timer lives only for this run: it belongs to this thread, and with it its connections
    // go, so a period change asked for while the thread is stopped cannot wait on a dead loop.
    PeriodicTimer runTimer;
    connect(&runTimer, &PeriodicTimer::timeout, this, &TimerThread::slotTimeOut,
            Qt::DirectConnection);
    connect(this, &TimerThread::timerStart, &runTimer, &PeriodicTimer::start,
            Qt::BlockingQueuedConnection);
    runTimer.start(static_cast<int>(period));
    timer = &runTimer;
    exec();
    timer = nullptr;
    runTimer.stop();
    disconnect(&runTimer, &PeriodicTimer::timeout, this, &TimerThread::slotTimeOut);
    finishedRuns.fetch_add(1, std::memory_order_release);
}

quint64 TimerThread::tickExpirations() const
{
    const PeriodicTimer *current = timer;
    return current ? current->expirations() : 1;
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
