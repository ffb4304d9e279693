#pragma once
// CRC-16/MODBUS (reflected 0x8005, initial 0xFFFF, no final XOR) over the control part of a
// frame, stored high byte first. No state; each user owns its instance.

#include <QByteArray>

class CRC16
{
public:
    // CRC over bytes 0 to count-1; a byte past the end of the array counts as 0.
    quint16 calc(const QByteArray &data, quint16 count) const;
    // The same over a plain buffer that holds at least count bytes.
    static quint16 calc(const quint8 *data, quint16 count);
    // Writes calc(data, count) at count (high byte) and count+1 (low byte), growing data when
    // it is shorter than count+2.
    void buf_crc_add(QByteArray &data, quint16 count) const;
    // True when the two bytes at count, count+1 (high first) hold calc(data, count); bytes past
    // the end read as 0.
    bool buf_crc_comparision(const QByteArray &data, quint16 count) const;

private:
    static quint16 step(quint16 crc, quint8 byte);
};
