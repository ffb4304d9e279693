#include "link/spiinerrorcontroller.h"

bool SpiInErrorController::isRepeat(quint8 startByte)
{
    if (startByte != last_event_byte) {
        last_event_byte = startByte;
        return false;
    }
    if (repeat_count < 255)
        ++repeat_count;
    return true;
}
