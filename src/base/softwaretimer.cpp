#include "base/softwaretimer.h"

bool SoftwareTimer::tick()
{
    if (ticks == 0)
        return false;
    if (++count < ticks)
        return false;
    handler();
    // The one-pulse stop follows the handler, so a handler that restarts the timer is overruled.
    if (onePulse)
        stop();
    else
        count = 0;
    return true;
}
