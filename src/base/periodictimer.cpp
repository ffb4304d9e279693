#include "base/periodictimer.h"

#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <cstdint>
#include <sys/timerfd.h>
#include <unistd.h>

PeriodicTimer::PeriodicTimer(QObject *parent) : QObject(parent)
{
    fd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (fd >= 0) {
        notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        connect(notifier, &QSocketNotifier::activated, this, &PeriodicTimer::expired);
    } else {
        fallback = new QTimer(this);
        fallback->setTimerType(Qt::PreciseTimer);
        connect(fallback, &QTimer::timeout, this, &PeriodicTimer::timeout);
    }
}

PeriodicTimer::~PeriodicTimer()
{
    if (fd >= 0) {
        delete notifier;  // before the descriptor it watches is closed
        notifier = nullptr;
        ::close(fd);
    }
}

void PeriodicTimer::start(int ms)
{
    active = ms >= 0;
    if (fallback) {
        fallback->start(ms);
        return;
    }
    // A period of 0 would disarm a timerfd; QTimer takes it as "as often as possible", for which
    // one microsecond is near enough.
    const int64_t ns = ms > 0 ? int64_t(ms) * 1000000 : 1000;
    itimerspec grid{};
    grid.it_interval.tv_sec = static_cast<time_t>(ns / 1000000000);
    grid.it_interval.tv_nsec = static_cast<long>(ns % 1000000000);
    grid.it_value = grid.it_interval;
    ::timerfd_settime(fd, 0, &grid, nullptr);
}

void PeriodicTimer::stop()
{
    active = false;
    if (fallback) {
        fallback->stop();
        return;
    }
    const itimerspec disarmed{};
    ::timerfd_settime(fd, 0, &disarmed, nullptr);
}

void PeriodicTimer::expired()
{
    uint64_t expirations = 0;
    ssize_t n;
    do {
        n = ::read(fd, &expirations, sizeof expirations);
    } while (n < 0 && errno == EINTR);
    // Nothing to read: the timer was stopped or restarted after the notifier saw it expire.
    if (n == static_cast<ssize_t>(sizeof expirations) && expirations > 0 && active) {
        lastExpirations = expirations;
        Q_EMIT timeout();
    }
}
