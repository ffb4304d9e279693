#pragma once
// A board for tests: records every pin set-up, pin write, SPI transfer and delay, in order, and
// answers transfers from a script instead of driving hardware. Owned by the test; any thread may
// call it (the driver's threads and the test's at once): one mutex guards all it records.

#include "board/pinboard.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <ostream>

class RecordingBoard : public PinBoard
{
public:
    enum class Kind {
        LibInit,
        SpiInit,
        Spi1Init,
        PinMode,
        Write,
        Transfer,
        Transfer1,
        DelayMs,
        DelayUs,
    };

    struct Event {
        Event(Kind k) : kind(k) {}  // NOLINT: events are written as {Kind::...}
        Kind kind;
        quint8 pin = 0;      // PinMode, Write
        quint8 level = 0;    // Write
        quint32 amount = 0;  // DelayMs, DelayUs: the duration asked for
        QByteArray bytes;    // Transfer, Transfer1: the bytes sent
    };

    struct PinWrite {
        quint8 pin;
        quint8 level;
        bool operator==(const PinWrite &o) const { return pin == o.pin && level == o.level; }
    };

    // Answers one transfer from the bytes it sent.
    using ReplyHandler = std::function<QByteArray(const QByteArray &sent)>;

    RecordingBoard() = default;

    // Queues the answer of one later transfer (first queued, first used). A shorter answer is
    // padded with zero bytes, a longer one cut to the transfer's length.
    void queueReply(const QByteArray &reply);
    // Answers the transfers that find the queue empty (an emulated shield, say); without a
    // handler they get zero bytes.
    void setReplyHandler(ReplyHandler handler);
    // Makes delay_ms and delay_us really sleep as well as record (default: record only).
    void setRealDelays(bool sleep);

    // What was recorded so far.
    QList<Event> events() const;
    QList<PinWrite> writes() const;
    QList<quint8> pinModes() const;
    QList<QByteArray> transfers() const;  // bytes sent by spi_transfer, one entry per call
    QList<quint32> delaysMs() const;
    int count(Kind kind) const;
    // The last level written to a pin, -1 if none was.
    int level(quint8 pin) const;
    // The events as text, one per entry: "lib_init", "spi_init", "spi1_init", "mode 6",
    // "write 7=1", "spi 0a 01 00" (bytes sent, hex), "spi1 ...", "delay_ms 600", "delay_us 50".
    QStringList log() const;
    // Forgets what was recorded; scripted replies and the handler stay.
    void clear();
    // Waits until at least `transfers` spi_transfer calls have been recorded; false on time-out.
    bool waitForTransfers(int transfers, int timeoutMs) const;

    void lib_init() override;
    void spi_init() override;
    void spi1_init() override;
    // Records the bytes sent; buffer and received both get the scripted answer.
    void spi_transfer(quint8 *buffer, quint8 *received, quint16 length) override;
    // Records the bytes sent; like the real board's alternative interface it answers nothing.
    void spi1_transfer(quint8 *buffer, quint8 *received, quint16 length) override;
    void delay_ms(quint32 ms) override;
    void delay_us(quint32 us) override;

protected:
    void pinMode(quint8 pin) override;
    void digitalWrite(quint8 pin, quint8 level) override;

private:
    void record(const Event &event);

    mutable std::mutex mutex;  // guards every field below
    mutable std::condition_variable changed;
    QList<Event> recorded;
    QList<QByteArray> replies;
    ReplyHandler handler;
    bool realDelays = false;
};

std::ostream &operator<<(std::ostream &os, const RecordingBoard::PinWrite &w);
