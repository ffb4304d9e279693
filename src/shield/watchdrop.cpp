#include "shield/watchdrop.h"

#include "base/console.h"

#include <QThread>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <limits>
#include <utility>

namespace {
constexpr qint64 stopped = std::numeric_limits<qint64>::min();
// While the host's events are held, an overdue wait looks this often whether they flow again.
constexpr qint64 heldCheckMs = 1000;
}  // namespace

WatchDrop::WatchDrop(int intervalMs, QObject *parent)
    : QObject(parent),
      intervalMs(intervalMs),
      deadline(stopped),
      timer(new QTimer(this)),
      hostOutput(&Console::out),
      heldDeadline(stopped)
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

void WatchDrop::setHostOutput(const Console::LineStream *stream, int grace)
{
    hostOutput = stream;
    graceMs = grace;
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
        timer->start(
            static_cast<int>(qBound<qint64>(0, due - nowMs(), std::max(intervalMs, graceMs))));
}

void WatchDrop::expired()
{
    qint64 due = deadline;
    if (due == stopped) {
        heldDeadline = stopped;
        return;
    }
    const qint64 now = nowMs();
    if (now < due) {
        arm();  // a later dial moved the deadline
        return;
    }
    if (hostOutput && hostOutput->overBound()) {
        // The hang-up may wait in the shield with the host's other events.
        heldDeadline = due;
        timer->start(static_cast<int>(std::min(heldCheckMs, graceMs)));
        return;
    }
    if (std::exchange(heldDeadline, stopped) == due) {
        // The host reads again: its held events, the hang-up perhaps among them, come first.
        deadline.compare_exchange_strong(due, now + graceMs);
        arm();
        return;
    }
    // Once per dial: a dial or drop that came in between wins.
    if (deadline.compare_exchange_strong(due, stopped))
        Q_EMIT emergency_restart();
}
