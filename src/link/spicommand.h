#pragma once
// The only producer of command frames. Called from the supervisor, console and transfer threads
// at once: each builder composes its frame in storage of its own and shares only the append,
// which the queue's mutex guards. A shield address above 5 is ignored.

#include "base/shieldcount.h"

#include <QByteArray>
#include <QtGlobal>

#include <array>

class SPIconnector;
class Settings;

class SPIcommand
{
public:
    // Command codes, as they stand in byte 1 of a frame.
    enum Code : quint8 {
        READ_FIRMWARE = 0x01,
        READ_SHIELD = 0x02,
        READ_INTERCOM = 0x03,
        READ_VID0 = 0x04,
        READ_VID1 = 0x05,
        READ_VID2 = 0x06,
        PICKUP = 0x11,
        DROP = 0x12,
        DIAL = 0x13,
        PHONE_DETECT = 0x14,
        OPEN = 0x20,
        SET_INTERCOM = 0x31,
        VIRTUAL_LIST_WORD = 0x32,
        BLACK_LIST_WORD = 0x33,
        AUDIO_PLAY = 0x40,
        SPI_LOOP_RETURN = 0x50,
        PING_1 = 0x60,
        PING_2 = 0x61,
        REBOOT_SHIELD = 0x62,
        REPEAT = 0xFF,
    };

    SPIcommand(SPIconnector **links, Settings *settings);

    void command_read_firmware(quint8 shield);
    void command_read_shield(quint8 shield);
    void command_read_intercom(quint8 shield);
    void command_read_vid0(quint8 shield);
    void command_read_vid1(quint8 shield);
    void command_read_vid2(quint8 shield);
    void command_pickup(quint8 shield);
    void command_drop(quint8 shield);
    void command_dial(quint8 shield, quint16 number);
    void command_phone_detect(quint8 shield, quint16 number);
    void command_open(quint8 shield, quint8 door);
    void command_set_intercom(quint8 shield, quint8 intercom);
    void command_key_16bit(quint8 shield, quint8 code, quint16 first, quint16 second);
    void command_update_16bit_virtuallist(quint8 shield, quint16 index, quint16 bits);
    void command_update_16bit_blacklist(quint8 shield, quint16 index, quint16 bits);
    void command_audio_play(quint8 shield, bool on);
    void command_spi_loop_return(quint8 shield, quint32 value);
    void command_ping_1(quint8 shield);
    void command_ping_2(quint8 shield);
    void command_reboot_shield(quint8 shield);
    void command_repeat(quint8 shield);
    // The identification sequence of a shield that just answered its ping: firmware, shield,
    // three ID words, the configured intercom index, then the intercom read back.
    void command_first(quint8 shield);

private:
    // Appends to the acknowledged or to the direct queue of the shield.
    void queueCommand(quint8 shield, const QByteArray &frame);
    void queueDirect(quint8 shield, const QByteArray &frame);
    SPIconnector *link(quint8 shield) const;

    std::array<SPIconnector *, maxShields> connectors{};
    Settings *settings;
};
