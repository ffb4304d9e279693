#include "shield/watchdrop.h"

#include <QThread>
#include <QTimer>

#include <chrono>
#include <limits>

namespace {
constexpr qint64 stopped = std::numeric_limits<qint64>::min();
}

WatchDrop::WatchDrop(int intervalMs, QObject *parent)
    : QObject(parent), intervalMs(intervalMs), deadline(stopped), timer(new QTimer(this))
{
    timer->setSingleShot(true);
    timer->setTimerType(Qt::PreciseTimer);
    connect(timer, &QTimer::timeout, this, &WatchDrop::expired);
}

qint64 WatchDrop::nowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void WatchDrop::detect_dial()
{
    deadline = nowMs() + intervalMs;
    if (QThread::currentThread() == thread())
        arm();
    else
        QMetaObject::invokeMethod(this, &WatchDrop::arm, Qt::QueuedConnection);
}

void WatchDrop::detect_drop()
{
    // The timer may still be set: when it wakes up it finds no deadline and does nothing.
    deadline = stopped;
}

bool WatchDrop::isActive() const
{
    return deadline != stopped;
}

void WatchDrop::arm()
{
    const qint64 due = deadline;
    if (due == stopped)
        timer->stop();
    else
        timer->start(static_cast<int>(qBound<qint64>(0, due - nowMs(), intervalMs)));
}

void WatchDrop::expired()
{
    qint64 due = deadline;
    if (due == stopped)
        return;
    if (nowMs() < due) {
        arm();  // a later dial moved the deadline
        return;
    }
    // Once per dial: a dial or drop that came in between wins.
    if (deadline.compare_exchange_strong(due, stopped))
        Q_EMIT emergency_restart();
}
