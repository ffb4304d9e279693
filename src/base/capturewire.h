#pragma once
// The exchanges of a running driver as a capture client receives them: the status socket's
// "capture" request, and the records that follow its answer. stm-status writes each record into
// a pcap file as it is, so the record's data is also what the Wireshark dissector (protocol
// stmspi, tools/wireshark/stmspi.lua) reads.
//
// After the request "capture" (every shield) or "capture N" (shield N only) the driver answers
// one JSON line, {"capture":"started",...} or an error document, and from then on sends nothing
// but records and reads nothing more from that client. A record:
//   8 bytes  time of the exchange, microseconds since 1970 (UTC), little-endian
//   2 bytes  length of the data, little-endian
//   data     byte 0: the shield (0-5; 255 for a record about the capture itself)
//            byte 1: the direction (toShield, fromShield, or recordsLost)
//            then the bytes on the bus: 8 for a frame, 528 for a long packet, 1 to 256 of the
//            STM32 bootloader's protocol; or, for recordsLost, the count, 32-bit big-endian.
// Each exchange gives two records with the same time: what the driver sent, then what the
// shield clocked back. A client that reads too slowly loses records; the next record it gets
// after a loss says how many.

#include <QtGlobal>

namespace CaptureWire {

constexpr const char *request = "capture";
// pcap's link type for the records' data: DLT_USER0, set aside for private protocols.
constexpr int pcapLinkType = 147;

constexpr quint8 toShield = 0;
constexpr quint8 fromShield = 1;
constexpr quint8 recordsLost = 2;
constexpr quint8 noShield = 255;

constexpr int headerSize = 10;  // time and length
constexpr int shieldByte = 0;
constexpr int directionByte = 1;
constexpr int busBytesAt = 2;     // the bus bytes after shield and direction
constexpr int maxBusBytes = 528;  // a long packet
constexpr int maxDataSize = busBytesAt + maxBusBytes;
constexpr int lostDataSize = busBytesAt + 4;
constexpr int lostRecordSize = headerSize + lostDataSize;

inline void putHeader(quint8 *to, quint64 timeUs, quint16 length)
{
    for (int i = 0; i < 8; ++i)
        to[i] = static_cast<quint8>(timeUs >> (8 * i));
    to[8] = static_cast<quint8>(length);
    to[9] = static_cast<quint8>(length >> 8);
}

inline quint64 timeOf(const quint8 *header)
{
    quint64 time = 0;
    for (int i = 7; i >= 0; --i)
        time = time << 8 | header[i];
    return time;
}

inline quint16 lengthOf(const quint8 *header)
{
    return static_cast<quint16>(header[8] | header[9] << 8);
}

// A whole records-lost record, header and data: lostRecordSize bytes.
inline void putLostRecord(quint8 *to, quint64 timeUs, quint32 count)
{
    putHeader(to, timeUs, lostDataSize);
    quint8 *data = to + headerSize;
    data[shieldByte] = noShield;
    data[directionByte] = recordsLost;
    for (int i = 0; i < 4; ++i)
        data[busBytesAt + i] = static_cast<quint8>(count >> (24 - 8 * i));
}

}  // namespace CaptureWire
