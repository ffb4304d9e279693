#include "link/framecodes.h"

#include "link/spicommand.h"

namespace FrameCodes {

// The switches name every enumerator (the compiler warns of one left out) and nothing else.

const char *commandName(quint8 code)
{
    switch (static_cast<SPIcommand::Code>(code)) {
    case SPIcommand::READ_FIRMWARE: return "read firmware";
    case SPIcommand::READ_SHIELD: return "read shield";
    case SPIcommand::READ_INTERCOM: return "read intercom";
    case SPIcommand::READ_VID0: return "read id 0";
    case SPIcommand::READ_VID1: return "read id 1";
    case SPIcommand::READ_VID2: return "read id 2";
    case SPIcommand::PICKUP: return "pickup";
    case SPIcommand::DROP: return "drop";
    case SPIcommand::DIAL: return "dial";
    case SPIcommand::PHONE_DETECT: return "phone detect";
    case SPIcommand::OPEN: return "open door";
    case SPIcommand::SET_INTERCOM: return "set intercom";
    case SPIcommand::VIRTUAL_LIST_WORD: return "virtual list word";
    case SPIcommand::BLACK_LIST_WORD: return "black list word";
    case SPIcommand::AUDIO_PLAY: return "audio play";
    case SPIcommand::SPI_LOOP_RETURN: return "loop return";
    case SPIcommand::PING_1: return "ping 1";
    case SPIcommand::PING_2: return "ping 2";
    case SPIcommand::REBOOT_SHIELD: return "reboot";
    case SPIcommand::REPEAT: return "repeat";
    }
    return nullptr;
}

const char *eventName(quint8 code)
{
    switch (static_cast<Event>(code)) {
    case EVENT_DIAL: return "dial";
    case EVENT_PICKUP: return "pickup";
    case EVENT_OPEN: return "open";
    case EVENT_DROP: return "drop";
    case EVENT_PHONE: return "phone detection";
    case EVENT_PICKUP_AUDIO: return "pickup with audio";
    case EVENT_KEY: return "key open";
    case EVENT_LOOP_TEST: return "loop test";
    case EVENT_ERROR: return "error";
    case EVENT_DEBUG_TEXT: return "debug text";
    case EVENT_DEBUG_NUMBER: return "debug number";
    }
    return nullptr;
}

const char *errorName(quint32 code)
{
    switch (code) {
    case 0x101: return "Hang loop read dial";
    case 0x102: return "Hang loop call";
    case 0x103: return "Hang loop pickup";
    case 0x104: return "Hang loop wait drop";
    case 0x105: return "Hang loop phone switch";
    case 0x106: return "Hang loop open";
    case 0x110: return "Hang loop unknown";
    default: return nullptr;
    }
}

}  // namespace FrameCodes
