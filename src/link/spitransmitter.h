#pragma once
// The transfer loop: every cycle it exchanges one frame with each served shield, parses what came
// back and, every 312th cycle, reports the error counters. Lives in the transfer thread; its
// cycle holds the link mutex from first to last step. Other threads reach the link records only
// through their queues (queue mutexes) or under the same link mutex.

#include "base/pimutex.h"
#include "base/shieldcount.h"
#include "base/softwaretimer.h"
#include "link/busbudget.h"
#include "link/crc16.h"
#include "link/frame.h"

#include <QByteArray>
#include <QObject>

#include <array>
#include <memory>
#include <mutex>

namespace Console {
class LineStream;
}
class Board;
class BootloaderHost;
class CaptureRing;
class CaptureTap;
class FrameSink;
class Settings;
class SPIconnector;

class SPItransmitter : public QObject
{
    Q_OBJECT

public:
    static constexpr quint32 reportCycles = 312;
    static constexpr quint32 bootloaderGoAddress = 0x08000000;

    // parsers: where the received frames go (not owned); mutex: the link mutex.
    SPItransmitter(QObject *parent, Settings *settings, FrameSink *parsers, SPIconnector **links,
                   Board *board, PiMutex *mutex);
    ~SPItransmitter() override;

    // Link records' flags and error controllers back to their start (queues stay), buffers sized.
    // Takes the link mutex, so it is never called from inside a cycle.
    void to_null();
    // One transfer cycle.
    void main_func();
    // One exchange with one shield: select, n words full duplex, release.
    void spi_data_transfer(quint8 shield, const QByteArray &tx, QByteArray &rx, quint16 *sendWords,
                           quint16 *receiveWords, int n);
    // Classifies one received frame and hands it to the parsers.
    void parser(quint8 shield, const QByteArray &frame, SPIconnector *link);
    // Where the exchanges go while a capture client asks for them (not owned; set before the
    // transfer thread starts).
    void setCapture(CaptureTap *tap) { capture = tap; }

    // Where the host's lines go, asked whether it is far behind (Console::out unless a test
    // gives another). Before the thread runs.
    void setHostOutput(const Console::LineStream *stream) { hostOutput = stream; }

    // Whether the calls in progress need more of the bus than a cycle has (the SPI clock from the
    // settings; the period set by the transfer thread). Read from any thread.
    BusBudget &busBudget() { return budget; }
    const BusBudget &busBudget() const { return budget; }

    static void byteArray_to_uint16(const QByteArray &source, quint16 *words, int count)
    {
        Frame::byteArray_to_uint16(source, words, count);
    }
    static void uint16_to_byteArray(const quint16 *words, QByteArray &destination, int count)
    {
        Frame::uint16_to_byteArray(words, destination, count);
    }

Q_SIGNALS:
    void emergency_restart();

private:
    enum class Exchanged { Nothing, Long, Short };
    // One shield's turn of the cycle: its frame out, the shield's frame in, and the frame size
    // the exchange leaves. Nothing when the link was found lost before the transfer.
    Exchanged exchange(quint8 shield, SPIconnector *link);
    // Bytes 0 to 7 of tx_buffer for this cycle; false when the link was found lost.
    bool fillControlFrame(quint8 shield, SPIconnector *link);
    void disconnect(quint8 shield, SPIconnector *link);
    void reportErrors(quint8 shield, SPIconnector *link);
    // A valid event frame: taken (parsed once, acknowledged) or left with the shield.
    void takeEvent(quint8 shield, const QByteArray &frame, SPIconnector *link);
    void bootloaderHandOff(quint8 shield);
    // The audio block of the frame just received from a shield in long-packet mode, passed on
    // to the host.
    void forwardAudio(quint8 shield, SPIconnector *link);
    class HandOffBoard;

    Board *board;
    FrameSink *parsers;
    Settings *settings;
    std::array<SPIconnector *, maxShields> connectors{};
    QByteArray idle_packet;
    CRC16 crc;
    std::unique_ptr<HandOffBoard> handOffBoard;
    std::unique_ptr<BootloaderHost> bootloader;
    QByteArray tx_buffer;
    QByteArray rx_buffer;
    std::array<quint16, Frame::longWords> sendWords{};
    std::array<quint16, Frame::longWords> receiveWords{};
    PiMutex *mutex;
    SoftwareTimer report_timer;
    CaptureTap *capture = nullptr;
    CaptureRing *capturing = nullptr;  // the ring of this cycle, while a client captures
    const Console::LineStream *hostOutput;
    bool holdEvents = false;  // this cycle: the host's queue is over its bound
    BusBudget budget;
};
