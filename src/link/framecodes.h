#pragma once
// The codes that byte 1 of a frame carries, with the names a person reads in a capture: the
// commands the driver sends (SPIcommand::Code), the events a shield raises, and the error codes it
// reports in an error event. The Wireshark dissector (tools/wireshark/stmspi.lua) names every one
// of them the same way; a test holds its tables against these. Constants only, any thread.

#include <QtGlobal>

namespace FrameCodes {

// Event codes, as they stand in byte 1 of a frame from a shield.
enum Event : quint8 {
    EVENT_DIAL = 0x80,
    EVENT_PICKUP = 0x81,
    EVENT_OPEN = 0x82,
    EVENT_DROP = 0x83,
    EVENT_PHONE = 0x84,
    EVENT_PICKUP_AUDIO = 0x85,
    EVENT_KEY = 0x86,
    EVENT_LOOP_TEST = 0xE0,
    EVENT_ERROR = 0xE1,
    EVENT_DEBUG_TEXT = 0xE2,
    EVENT_DEBUG_NUMBER = 0xE3,
};

// The name of a command code, of an event code, of an error code in an error event (the text of
// the host's "#ERROR" line); null for a code that has none.
const char *commandName(quint8 code);
const char *eventName(quint8 code);
const char *errorName(quint32 code);

}  // namespace FrameCodes
