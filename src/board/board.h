#pragma once
// The hardware interface: shield reset, six chip selects, the debug line, SPI and delays. Belongs
// to no thread; the transfer thread (SPI, chip selects), the main thread (reboot, debug line) and
// the stand loop call it, never at the same time on the same line. This base does nothing at all;
// subclasses bind it to the board's pins, to the simulated bus or to a test double.

#include "base/shieldcount.h"

#include <QtGlobal>

class Board
{
public:
    Board() = default;
    virtual ~Board() = default;

    virtual void lib_init() {}
    virtual void lib_deinit() {}
    virtual void gpio_init() {}
    virtual void gpio_set_reset(quint8 level) { Q_UNUSED(level) }
    virtual void gpio_set_debug(quint8 level) { Q_UNUSED(level) }
    virtual void spi_init() {}
    virtual void spi_deinit() {}
    virtual void spi_set_cs0(quint8 level) { Q_UNUSED(level) }
    virtual void spi_set_cs1(quint8 level) { Q_UNUSED(level) }
    virtual void spi_set_cs2(quint8 level) { Q_UNUSED(level) }
    virtual void spi_set_cs3(quint8 level) { Q_UNUSED(level) }
    virtual void spi_set_cs4(quint8 level) { Q_UNUSED(level) }
    virtual void spi_set_cs5(quint8 level) { Q_UNUSED(level) }
    // Chip select of shield 0 to 5; other addresses do nothing.
    virtual void spi_set_cs(quint8 shield, quint8 level) { Q_UNUSED(shield) Q_UNUSED(level) }
    // Full-duplex transfer of length bytes; afterwards received holds the bytes clocked in.
    virtual void spi_transfer(quint8 *buffer, quint8 *received, quint16 length)
    {
        Q_UNUSED(buffer) Q_UNUSED(received) Q_UNUSED(length)
    }
    // One exchange with one shield: its chip select to `select`, the transfer, the chip select
    // to `release`. A board whose bus can take the three in one hand-over does so.
    virtual void spi_exchange(quint8 shield, quint8 select, quint8 release, quint8 *buffer,
                              quint8 *received, quint16 length)
    {
        spi_set_cs(shield, select);
        spi_transfer(buffer, received, length);
        spi_set_cs(shield, release);
    }
    virtual void spi1_init() {}
    virtual void spi1_deinit() {}
    virtual void spi1_transfer(quint8 *buffer, quint8 *received, quint16 length)
    {
        Q_UNUSED(buffer) Q_UNUSED(received) Q_UNUSED(length)
    }
    // Reset pulse of all shields: 600 ms low, then 200 ms of settling.
    virtual void restart() {}
    virtual void delay_ms(quint32 ms) { Q_UNUSED(ms) }
    virtual void delay_us(quint32 us) { Q_UNUSED(us) }
    // Tells the failures held back since the board's last report once its interval has passed
    // (a burst that stopped). The transfer thread calls it after every cycle.
    virtual void flushReports() {}

    quint32 timerPeriodUs = 0;  // pacing period of TimerPrecise

    // The shields' SPI clock unless the command line names another (-spi-hz).
    static constexpr quint32 defaultSpiHz = 1562500;

    // The wiringPi pin numbers of the lines, shared by every board that drives them.
    static constexpr quint8 pinReset = 7;
    static constexpr quint8 pinDebug = 0;
    static constexpr quint8 pinAux = 6;
    static constexpr quint8 pinChipSelect[maxShields] = {15, 16, 13, 10, 9, 8};

    // The chip-select level that selects a shield, and the one that releases it: with several
    // shields served a shield is selected by 1, with one shield by 0. The board writes whatever
    // level it is given; every caller asks here.
    static constexpr quint8 selectLevel(bool multiShield) { return multiShield ? 1 : 0; }
    static constexpr quint8 releaseLevel(bool multiShield) { return multiShield ? 0 : 1; }
};
