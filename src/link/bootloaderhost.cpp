#include "link/bootloaderhost.h"

#include "board/board.h"
#include "link/frame.h"

BootloaderHost::BootloaderHost(Board *board) : board(board) {}

void BootloaderHost::send(const quint8 *bytes, quint16 length)
{
    // The bus is full duplex; what the device clocks back while it receives a command is noise.
    quint8 tx[8] = {};
    quint8 rx[8] = {};
    Q_ASSERT(length <= sizeof(tx));
    for (quint16 i = 0; i < length; ++i)
        tx[i] = bytes[i];
    board->spi_transfer(tx, rx, length);
}

quint8 BootloaderHost::receiveByte()
{
    quint8 tx = dummyByte;
    quint8 rx = 0;
    board->spi_transfer(&tx, &rx, 1);
    return rx;
}

bool BootloaderHost::waitForAck()
{
    quint8 tx = dummyByte;
    quint8 rx = 0;
    board->spi1_transfer(&tx, &rx, 1);

    for (int attempt = 0; attempt < ackAttempts; ++attempt) {
        // The acknowledge is read from the device, then sent back to confirm it.
        if (receiveByte() == Frame::bootloaderAck) {
            const quint8 confirm = Frame::bootloaderAck;
            send(&confirm, 1);
            return true;
        }
    }
    return false;
}

bool BootloaderHost::init()
{
    const quint8 sync = startOfFrame;
    send(&sync, 1);
    return waitForAck();
}

bool BootloaderHost::goCommand(quint32 address)
{
    const quint8 command[] = {startOfFrame, goCode, goComplement};
    send(command, sizeof(command));
    waitForAck();  // the address goes out either way; only the final acknowledge counts

    quint8 frame[5] = {
        static_cast<quint8>(address >> 24),
        static_cast<quint8>(address >> 16),
        static_cast<quint8>(address >> 8),
        static_cast<quint8>(address),
        0,
    };
    frame[4] = static_cast<quint8>(xorCheck(frame, 4));
    send(frame, sizeof(frame));
    return waitForAck();
}

void BootloaderHost::getCommand(quint8 *data)
{
    const quint8 command[] = {startOfFrame, getCode, getComplement};
    send(command, sizeof(command));
    waitForAck();

    receiveByte();                        // filler byte before the count
    const int count = receiveByte() + 1;  // N+1 bytes follow, at most 256

    quint8 tx[256] = {};
    board->spi_transfer(tx, data, static_cast<quint16>(count));

    const quint8 confirm = Frame::bootloaderAck;
    send(&confirm, 1);
}

int BootloaderHost::xorCheck(quint8 *data, int len)
{
    quint8 sum = 0;
    for (int i = 0; i < len; ++i)
        sum ^= data[i];
    return sum;
}
