#pragma once
// Emulated shields for the frame exchange: given the 8-byte frame the driver sends to a shield,
// returns what that shield clocks back (prepared from the previous frame) and prepares its next
// answer. A stand-alone aid; the prepared answers are one table for the process, guarded by a
// mutex.

#include <QtGlobal>

class Debug
{
public:
    Debug() = default;

    // CRC-16/MODBUS over count bytes of a plain buffer; 0xFFFF for none.
    static quint16 calc_crc16(const quint8 *bytes, quint16 count);
    // One exchange with emulated shield `shield` (0 to 5; others receive zeros): 8 bytes of the
    // prepared answer go to `received`, and the next answer is prepared from `sent`.
    void emulate_spi_transfer(quint8 shield, const quint8 *sent, quint8 *received, quint16 length);

    // Forgets every prepared answer (as at program start).
    static void reset();
};
