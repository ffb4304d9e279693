#pragma once
// Stop-and-wait delivery of the acknowledged commands of one shield: toggle bit, reply check,
// time-out in transfer cycles, repeats and link loss. Used by the transfer thread under the link
// mutex, and by the supervisor's reset of a lost shield under the same mutex.

#include "base/softwaretimer.h"

#include <QByteArray>

#include <array>
#include <atomic>
#include <memory>

class SpiOutErrorController
{
public:
    enum TxState : qint32 { TX_IDLE = 0, TX_WAIT_REPLY = 1, TX_REPEAT = 2, TX_LOST = 3 };

    // What the transfer loop does for this shield in a cycle (get_type_translate).
    enum Action : int { SEND_IDLE = 0, SEND_NEW = 1, SEND_REPEAT = 2, LINK_LOST = 3 };

    static constexpr quint32 replyTimeoutCycles = 5;
    static constexpr quint16 errorLimit = 150;
    static constexpr quint8 counterCeiling = 255;

    SpiOutErrorController();

    void to_null();
    // Flips the host toggle bit and applies it to a new command's start byte.
    quint8 set_bit_order(quint8 byte);
    // Records the 8 bytes of a new command exactly as they go on the bus.
    void transmit_buffr(const QByteArray &frame);
    // Counts one error: a repeat, or the link lost at the 151st in a row.
    void transmission_error();
    // Once per consulted cycle: ticks the reply time-out and returns the Action.
    int get_type_translate(bool has_command);
    // True when the reply (its bytes 0 and 1) acknowledges the outstanding command.
    bool receive_buffer(const QByteArray &reply, quint8 shield);

    TxState getTxState() const { return tx_state; }
    // A command went out and neither its reply nor its loss has come yet.
    bool awaitsReply() const { return tx_state == TX_WAIT_REPLY || tx_state == TX_REPEAT; }
    quint16 getErrorCount() const { return error_count; }
    const std::array<quint8, 8> &lastFrame() const { return last_frame; }
    QByteArray lastFrameBytes() const;

    // Commands repeated since the last report, saturating; read and cleared by the report.
    std::atomic<quint8> repeat_count{0};

private:
    void restartReplyTimer();

    std::array<quint8, 8> last_frame{};
    TxState tx_state = TX_IDLE;
    quint8 bit_order = 0;
    quint16 error_count = 0;
    std::unique_ptr<SoftwareTimer> reply_timer;
};
