#pragma once
// Emulated shields for the frame exchange: given the 8-byte frame the driver sends to a shield,
// returns what that shield clocks back (prepared from the previous frame) and prepares its next
// answer. The prepared answers are one table for the process, guarded by a mutex.
// Nothing in the driver calls it: it is the simplest stand-in for shields behind a board's
// transfer, kept for bench checks of the link logic (the richer ShieldModel plays them in -emulate).

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
