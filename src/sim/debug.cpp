#include "sim/debug.h"

#include "base/shieldcount.h"
#include "link/crc16.h"

#include <cstring>
#include <mutex>

namespace {

std::mutex tableMutex;
quint8 bufferFromSpi[maxShields][8] = {};  // guarded by tableMutex

// Bytes 1 to 5 of the answer to a command code; false when the shield has nothing to say.
bool answerFor(quint8 code, quint8 shield, quint8 out[5])
{
    static const struct {
        quint8 code;
        quint8 bytes[5];
    } table[] = {
        {0x01, {0x01, 0x00, 0x00, 0x01, 0xAA}}, {0x02, {0x02, 0x00, 0x00, 0x00, 0x21}},
        {0x03, {0x03, 0x00, 0x00, 0x00, 0x0A}}, {0x05, {0x05, 0xFF, 0xFF, 0xFF, 0xFF}},
        {0x06, {0x06, 0xFF, 0xFF, 0xFF, 0xFF}}, {0x31, {0x31, 0x00, 0x00, 0x00, 0x0A}},
    };
    for (const auto &entry : table) {
        if (entry.code == code) {
            std::memcpy(out, entry.bytes, 5);
            return true;
        }
    }
    switch (code) {
    case 0x04: {
        const quint8 id[5] = {0x04, 0xFF, 0xFF, shield, 0xFF};
        std::memcpy(out, id, 5);
        return true;
    }
    case 0x11: case 0x12: case 0x32: case 0x33: case 0x40: case 0x60: case 0x61: {
        const quint8 echo[5] = {code, 0, 0, 0, 0};
        std::memcpy(out, echo, 5);
        return true;
    }
    case 0x20: case 0x21: case 0x22: case 0x23: {
        const quint8 dropCode[5] = {0x12, 0, 0, 0, 0};
        std::memcpy(out, dropCode, 5);
        return true;
    }
    default:
        return false;
    }
}

}  // namespace

quint16 Debug::calc_crc16(const quint8 *bytes, quint16 count)
{
    return CRC16::calc(bytes, count);
}

void Debug::emulate_spi_transfer(quint8 shield, const quint8 *sent, quint8 *received,
                                 quint16 length)
{
    Q_UNUSED(length)
    std::lock_guard<std::mutex> lock(tableMutex);
    if (shield >= maxShields) {
        std::memset(received, 0, 8);
        return;
    }
    quint8 *entry = bufferFromSpi[shield];
    std::memcpy(received, entry, 8);
    quint8 bytes[5];
    if (!answerFor(sent[1], shield, bytes)) {
        std::memset(entry, 0, 8);
        return;
    }
    entry[0] = sent[0];
    std::memcpy(entry + 1, bytes, 5);
    const quint16 crc = calc_crc16(entry, 6);
    entry[6] = static_cast<quint8>(crc >> 8);
    entry[7] = static_cast<quint8>(crc & 0xFF);
}

void Debug::reset()
{
    std::lock_guard<std::mutex> lock(tableMutex);
    std::memset(bufferFromSpi, 0, sizeof bufferFromSpi);
}
