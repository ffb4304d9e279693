#pragma once
// The frame layout shared by everything that builds or reads frames: byte positions, sizes,
// start and code bytes, payload readers, and the conversion to the 16-bit words that the board
// is given. A reader of a frame names a position here instead of doing index arithmetic.

#include <QByteArray>
#include <QtGlobal>

namespace Frame {

// Sizes.
constexpr int shortSize = 8;          // short frame
constexpr int longSize = 528;         // long packet: short frame, audio, trailer
constexpr int shortWords = shortSize / 2;
constexpr int longWords = longSize / 2;
constexpr int controlSize = 6;        // bytes covered by the CRC
constexpr int audioOffset = 8;        // first audio byte of a long packet
constexpr int audioSize = 512;
constexpr int trailerSize = 8;

// Byte positions of the control part.
constexpr int startByte = 0;
constexpr int codeByte = 1;
constexpr int payloadByte = 2;  // bytes 2 to 5
constexpr int crcHigh = 6;
constexpr int crcLow = 7;

// Start byte: 0x0A with the toggle bit in bit 7.
constexpr quint8 start = 0x0A;
constexpr quint8 toggleBit = 0x80;
constexpr quint8 startMask = 0x7F;
constexpr quint8 eventBit = 0x80;  // in the code byte of a frame from a shield

// First bytes that are no frame: the STM32 system bootloader speaks instead.
constexpr quint8 bootloaderSign = 0xA5;
constexpr quint8 bootloaderAck = 0x79;
constexpr quint8 bootloaderNack = 0x1F;

// Audio silence filler: the word 0x7FFF little-endian, as repeated byte pairs FF 7F.
constexpr quint8 silenceLow = 0xFF;
constexpr quint8 silenceHigh = 0x7F;

inline quint8 byte(const QByteArray &frame, int index)
{
    return index < frame.size() ? static_cast<quint8>(frame.at(index)) : 0;
}
inline quint8 start0(const QByteArray &frame) { return byte(frame, startByte); }
inline quint8 code(const QByteArray &frame) { return byte(frame, codeByte); }
inline bool hasValidStart(const QByteArray &frame) { return (start0(frame) & startMask) == start; }
inline bool isEvent(const QByteArray &frame) { return (code(frame) & eventBit) != 0; }
// A received control part that is no frame at all: all zeros (a shield with nothing to say) or
// all ones (a line that nobody drives).
bool carriesNothing(const QByteArray &frame);
// Payload readers, big-endian: bytes 2-3, bytes 4-5, bytes 2-5, and single bytes 3 and 5.
inline quint16 u16At2(const QByteArray &f) { return quint16(byte(f, 2) << 8 | byte(f, 3)); }
inline quint16 u16At4(const QByteArray &f) { return quint16(byte(f, 4) << 8 | byte(f, 5)); }
inline quint32 u32At2(const QByteArray &f)
{
    return quint32(byte(f, 2)) << 24 | quint32(byte(f, 3)) << 16 | quint32(byte(f, 4)) << 8 |
           quint32(byte(f, 5));
}

// An 8-byte frame with start byte 0x0A (toggle clear), a code and four payload bytes; CRC 0.
QByteArray compose(quint8 code, quint8 b2, quint8 b3, quint8 b4, quint8 b5);
// The same with two 16-bit big-endian values in bytes 2-3 and 4-5.
QByteArray compose16(quint8 code, quint16 first, quint16 second);
// The same with one 32-bit big-endian value in bytes 2-5.
QByteArray compose32(quint8 code, quint32 value);

// Fills bytes from..size-1 with the silence filler (FF 7F pairs, counted from `from`).
void fillSilence(QByteArray &frame, int from);

// Frame bytes to words for the board: word i = byte 2i | byte 2i+1 << 8.
void byteArray_to_uint16(const QByteArray &source, quint16 *words, int count);
// And back; grows the destination when it is shorter than 2 x count bytes.
void uint16_to_byteArray(const quint16 *words, QByteArray &destination, int count);

}  // namespace Frame
