#pragma once
// Host side of the STM32 system-memory bootloader over SPI, used to make a shield that came up in
// its bootloader jump to its application. Owned by the transfer loop and called only from the
// transfer thread, inside a transfer cycle; it works on whichever shield the caller has selected
// and never touches the chip-select lines. No state of its own besides the board pointer.

#include <QtGlobal>

class Board;

class BootloaderHost
{
public:
    // Start of frame; sent alone it is the synchronisation request.
    static constexpr quint8 startOfFrame = 0x5A;
    // Clocked out to read an answer; also the code of the Get command.
    static constexpr quint8 dummyByte = 0x00;
    static constexpr quint8 getCode = 0x00;
    static constexpr quint8 getComplement = 0xFF;
    static constexpr quint8 goCode = 0x21;
    static constexpr quint8 goComplement = 0xDE;
    // Dummy bytes read while waiting for an acknowledge before giving up.
    static constexpr int ackAttempts = 11;

    explicit BootloaderHost(Board *board);

    // Synchronises with the bootloader; true when it acknowledged.
    bool init();
    // Makes the bootloader jump to address; true when the final acknowledge came. The address is
    // sent even when the command itself was not acknowledged.
    bool goCommand(quint32 address);
    // Reads the bootloader version and command list (N+1 bytes, N sent first by the device) into
    // data, which must hold 256 bytes.
    void getCommand(quint8 *data);
    // Reads up to ackAttempts bytes until an acknowledge comes and confirms it; false when none
    // came (a not-acknowledge included), in which case nothing more is sent.
    bool waitForAck();
    // XOR of data[0] to data[len - 1].
    int xorCheck(quint8 *data, int len);

private:
    void send(const quint8 *bytes, quint16 length);
    quint8 receiveByte();

    Board *board;  // not owned
};
