#include "shield/watchdrop.h"

#include <QTimer>

WatchDrop::WatchDrop(int intervalMs, QObject *parent) : QObject(parent), timer(new QTimer(this))
{
    timer->setSingleShot(true);
    timer->setTimerType(Qt::PreciseTimer);
    timer->setInterval(intervalMs);
    connect(timer, &QTimer::timeout, this, &WatchDrop::emergency_restart);
}

void WatchDrop::detect_dial()
{
    timer->start();
}

void WatchDrop::detect_drop()
{
    timer->stop();
}

bool WatchDrop::isActive() const
{
    return timer->isActive();
}
