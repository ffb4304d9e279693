#include "shield/watchdial.h"

#include "app/console.h"

#include <QTimer>

WatchDial::WatchDial(int intervalMs, quint8 limit, QObject *parent)
    : QObject(parent), timer(new QTimer(this)), limit(limit)
{
    timer->setSingleShot(true);
    timer->setTimerType(Qt::PreciseTimer);
    timer->setInterval(intervalMs);
}

void WatchDial::DialDetect()
{
    if (flood)
        return;
    if (!timer->isActive()) {
        // A pause as long as the window ended the previous burst: this event opens a new one.
        count = 0;
        timer->start();
        return;
    }
    ++count;
    timer->stop();
    if (count >= limit) {
        Console::out.line(QStringLiteral("#ERROR: Flood dial detected! Ignore next dials."));
        flood = true;
        return;
    }
    timer->start();  // the window runs anew from this event
}
