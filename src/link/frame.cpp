#include "link/frame.h"

namespace Frame {

QByteArray compose(quint8 code, quint8 b2, quint8 b3, quint8 b4, quint8 b5)
{
    QByteArray frame(shortSize, '\0');
    frame[startByte] = static_cast<char>(start);
    frame[codeByte] = static_cast<char>(code);
    frame[2] = static_cast<char>(b2);
    frame[3] = static_cast<char>(b3);
    frame[4] = static_cast<char>(b4);
    frame[5] = static_cast<char>(b5);
    return frame;
}

QByteArray compose16(quint8 code, quint16 first, quint16 second)
{
    return compose(code, quint8(first >> 8), quint8(first), quint8(second >> 8), quint8(second));
}

QByteArray compose32(quint8 code, quint32 value)
{
    return compose(code, quint8(value >> 24), quint8(value >> 16), quint8(value >> 8),
                   quint8(value));
}

bool carriesNothing(const QByteArray &frame)
{
    const quint8 first = byte(frame, 0);
    if (first != 0x00 && first != 0xFF)
        return false;
    for (int i = 1; i < shortSize; ++i) {
        if (byte(frame, i) != first)
            return false;
    }
    return true;
}

void fillSilence(QByteArray &frame, int from)
{
    for (int i = from; i < frame.size(); ++i)
        frame[i] = static_cast<char>(((i - from) % 2) ? silenceHigh : silenceLow);
}

void byteArray_to_uint16(const QByteArray &source, quint16 *words, int count)
{
    for (int i = 0; i < count; ++i)
        words[i] = static_cast<quint16>(byte(source, 2 * i) | byte(source, 2 * i + 1) << 8);
}

void uint16_to_byteArray(const quint16 *words, QByteArray &destination, int count)
{
    if (destination.size() < 2 * count)
        destination.resize(2 * count);
    for (int i = 0; i < count; ++i) {
        destination[2 * i] = static_cast<char>(words[i] & 0xFF);
        destination[2 * i + 1] = static_cast<char>(words[i] >> 8);
    }
}

}  // namespace Frame
