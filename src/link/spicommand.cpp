#include "link/spicommand.h"

#include "config/settings.h"
#include "link/frame.h"
#include "link/spiconnector.h"

SPIcommand::SPIcommand(SPIconnector **links, Settings *settings) : settings(settings)
{
    for (size_t i = 0; i < connectors.size(); ++i)
        connectors[i] = links[i];
}

SPIconnector *SPIcommand::link(quint8 shield) const
{
    return shield < connectors.size() ? connectors[shield] : nullptr;
}

void SPIcommand::queueCommand(quint8 shield, const QByteArray &frame)
{
    if (SPIconnector *l = link(shield))
        l->command_queue->append(frame);
}

void SPIcommand::queueDirect(quint8 shield, const QByteArray &frame)
{
    if (SPIconnector *l = link(shield))
        l->direct_queue->append(frame);
}

void SPIcommand::command_read_firmware(quint8 shield)
{
    queueCommand(shield, Frame::compose(READ_FIRMWARE, 0x00, 0x12, 0x00, 0x00));
}

void SPIcommand::command_read_shield(quint8 shield)
{
    queueCommand(shield, Frame::compose(READ_SHIELD, 0, 0, 0, 0));
}

void SPIcommand::command_read_intercom(quint8 shield)
{
    queueCommand(shield, Frame::compose(READ_INTERCOM, 0, 0, 0, 0));
}

void SPIcommand::command_read_vid0(quint8 shield)
{
    queueCommand(shield, Frame::compose(READ_VID0, 0, 0, 0, 0));
}

void SPIcommand::command_read_vid1(quint8 shield)
{
    queueCommand(shield, Frame::compose(READ_VID1, 0, 0, 0, 0));
}

void SPIcommand::command_read_vid2(quint8 shield)
{
    queueCommand(shield, Frame::compose(READ_VID2, 0, 0, 0, 0));
}

void SPIcommand::command_pickup(quint8 shield)
{
    queueCommand(shield, Frame::compose(PICKUP, 0, 0, 0, 0));
}

void SPIcommand::command_drop(quint8 shield)
{
    queueCommand(shield, Frame::compose(DROP, 0, 0, 0, 0));
}

void SPIcommand::command_dial(quint8 shield, quint16 number)
{
    queueCommand(shield, Frame::compose16(DIAL, 0, number));
}

void SPIcommand::command_phone_detect(quint8 shield, quint16 number)
{
    queueCommand(shield, Frame::compose16(PHONE_DETECT, 0, number));
}

void SPIcommand::command_open(quint8 shield, quint8 door)
{
    queueCommand(shield, Frame::compose(OPEN, 0, 0, 0, door));
}

void SPIcommand::command_set_intercom(quint8 shield, quint8 intercom)
{
    queueCommand(shield, Frame::compose(SET_INTERCOM, 0, 0, 0, intercom));
}

void SPIcommand::command_key_16bit(quint8 shield, quint8 code, quint16 first, quint16 second)
{
    queueCommand(shield, Frame::compose16(code, first, second));
}

void SPIcommand::command_update_16bit_virtuallist(quint8 shield, quint16 index, quint16 bits)
{
    command_key_16bit(shield, VIRTUAL_LIST_WORD, index, bits);
}

void SPIcommand::command_update_16bit_blacklist(quint8 shield, quint16 index, quint16 bits)
{
    command_key_16bit(shield, BLACK_LIST_WORD, index, bits);
}

void SPIcommand::command_audio_play(quint8 shield, bool on)
{
    queueCommand(shield, Frame::compose(AUDIO_PLAY, 0, 0, 0, on ? 1 : 0));
}

void SPIcommand::command_spi_loop_return(quint8 shield, quint32 value)
{
    queueCommand(shield, Frame::compose32(SPI_LOOP_RETURN, value));
}

void SPIcommand::command_ping_1(quint8 shield)
{
    queueDirect(shield, Frame::compose(PING_1, 0, 0, 0, 0));
}

void SPIcommand::command_ping_2(quint8 shield)
{
    queueCommand(shield, Frame::compose(PING_2, 0x5A, 0x00, 0x5A, 0x00));
}

void SPIcommand::command_reboot_shield(quint8 shield)
{
    queueDirect(shield, Frame::compose(REBOOT_SHIELD, 0, 0, 0, 0));
}

void SPIcommand::command_repeat(quint8 shield)
{
    queueCommand(shield, Frame::compose(REPEAT, 0, 0, 0, 0));
}

void SPIcommand::command_first(quint8 shield)
{
    if (!link(shield))
        return;
    command_read_firmware(shield);
    command_read_shield(shield);
    command_read_vid0(shield);
    command_read_vid1(shield);
    command_read_vid2(shield);
    command_set_intercom(shield, settings->intercomIndex[shield]);
    command_read_intercom(shield);
}
