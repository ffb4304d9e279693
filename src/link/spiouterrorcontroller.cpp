#include "link/spiouterrorcontroller.h"

#include "link/frame.h"

SpiOutErrorController::SpiOutErrorController() : reply_timer(new SoftwareTimer)
{
    to_null();
}

void SpiOutErrorController::to_null()
{
    bit_order = 0;
    error_count = 0;
    repeat_count = 0;
    tx_state = TX_IDLE;
    reply_timer->stop();
    last_frame.fill(0);
}

quint8 SpiOutErrorController::set_bit_order(quint8 byte)
{
    bit_order ^= 1;
    return bit_order ? static_cast<quint8>(byte | Frame::toggleBit) : byte;
}

void SpiOutErrorController::transmit_buffr(const QByteArray &frame)
{
    for (int i = 0; i < Frame::shortSize; ++i)
        last_frame[static_cast<size_t>(i)] = Frame::byte(frame, i);
}

QByteArray SpiOutErrorController::lastFrameBytes() const
{
    return QByteArray(reinterpret_cast<const char *>(last_frame.data()), Frame::shortSize);
}

void SpiOutErrorController::transmission_error()
{
    const quint16 old = error_count;
    error_count = static_cast<quint16>(old + 1);
    if (old >= errorLimit) {
        error_count = 0;
        reply_timer->stop();
        tx_state = TX_LOST;
    } else {
        tx_state = TX_REPEAT;
    }
}

void SpiOutErrorController::restartReplyTimer()
{
    reply_timer->stop();
    reply_timer->start(replyTimeoutCycles);
}

int SpiOutErrorController::get_type_translate(bool has_command)
{
    // A time-out found here is acted on below, so its repeat goes out in this same cycle.
    if (reply_timer->tick())
        transmission_error();
    switch (tx_state) {
    case TX_IDLE:
        if (!has_command)
            return SEND_IDLE;
        tx_state = TX_WAIT_REPLY;
        restartReplyTimer();
        return SEND_NEW;
    case TX_WAIT_REPLY:
        return SEND_IDLE;
    case TX_REPEAT:
        tx_state = TX_WAIT_REPLY;
        restartReplyTimer();
        if (repeat_count < counterCeiling)
            ++repeat_count;
        return SEND_REPEAT;
    case TX_LOST:
        return LINK_LOST;
    }
    return SEND_IDLE;
}

bool SpiOutErrorController::receive_buffer(const QByteArray &reply, quint8 shield)
{
    Q_UNUSED(shield)
    if (tx_state != TX_WAIT_REPLY)
        return false;
    reply_timer->stop();
    if (Frame::byte(reply, Frame::startByte) != last_frame[Frame::startByte] ||
        Frame::byte(reply, Frame::codeByte) != last_frame[Frame::codeByte]) {
        transmission_error();
        return false;
    }
    tx_state = TX_IDLE;
    error_count = 0;
    return true;
}
