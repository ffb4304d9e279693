#include "link/crc16.h"

namespace {
const quint16 initial = 0xFFFF;
const quint16 polynomial = 0xA001;  // 0x8005 reflected

quint8 byteAt(const QByteArray &data, int index)
{
    return index < data.size() ? static_cast<quint8>(data.at(index)) : 0;
}
}  // namespace

quint16 CRC16::step(quint16 crc, quint8 byte)
{
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit)
        crc = (crc & 1) ? static_cast<quint16>((crc >> 1) ^ polynomial) : static_cast<quint16>(crc >> 1);
    return crc;
}

quint16 CRC16::calc(const QByteArray &data, quint16 count) const
{
    quint16 crc = initial;
    for (int i = 0; i < count; ++i)
        crc = step(crc, byteAt(data, i));
    return crc;
}

quint16 CRC16::calc(const quint8 *data, quint16 count)
{
    quint16 crc = initial;
    for (int i = 0; i < count; ++i)
        crc = step(crc, data[i]);
    return crc;
}

void CRC16::buf_crc_add(QByteArray &data, quint16 count) const
{
    const quint16 crc = calc(data, count);
    if (data.size() < count + 2)
        data.append(QByteArray(count + 2 - data.size(), '\0'));
    data[count] = static_cast<char>(crc >> 8);
    data[count + 1] = static_cast<char>(crc & 0xFF);
}

bool CRC16::buf_crc_comparision(const QByteArray &data, quint16 count) const
{
    const quint16 stored = static_cast<quint16>((byteAt(data, count) << 8) | byteAt(data, count + 1));
    return calc(data, count) == stored;
}
