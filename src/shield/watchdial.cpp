#include "shield/watchdial.h"

#include "base/console.h"

#include <chrono>
#include <limits>

namespace {
constexpr qint64 noBurst = std::numeric_limits<qint64>::min();
}

WatchDial::WatchDial(int intervalMs, quint8 limit, QObject *parent)
    : QObject(parent), windowStart(noBurst), intervalMs(intervalMs), limit(limit)
{
}

qint64 WatchDial::nowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void WatchDial::DialDetect()
{
    if (flood)
        return;
    const qint64 now = nowMs();
    const qint64 start = windowStart;
    if (start == noBurst || now - start >= intervalMs) {
        // A pause as long as the window ended the previous burst: this event opens a new one.
        count = 0;
        windowStart = now;
        return;
    }
    if (++count >= limit) {
        Console::out.line(QStringLiteral("#ERROR: Flood dial detected! Ignore next dials."));
        flood = true;
        windowStart = noBurst;
        return;
    }
    windowStart = now;  // the window runs anew from this event
}
