#pragma once
// A board that drives the lines by wiringPi pin number: the GPIO set-up, the reset and debug
// lines, the chip selects and the reset pulse are written once here over two primitives that each
// concrete board supplies. Thread use as Board.

#include "board/board.h"

class PinBoard : public Board
{
public:
    void gpio_init() override;
    void gpio_set_reset(quint8 level) override { digitalWrite(pinReset, level); }
    void gpio_set_debug(quint8 level) override { digitalWrite(pinDebug, level); }
    void spi_set_cs0(quint8 level) override { digitalWrite(pinChipSelect[0], level); }
    void spi_set_cs1(quint8 level) override { digitalWrite(pinChipSelect[1], level); }
    void spi_set_cs2(quint8 level) override { digitalWrite(pinChipSelect[2], level); }
    void spi_set_cs3(quint8 level) override { digitalWrite(pinChipSelect[3], level); }
    void spi_set_cs4(quint8 level) override { digitalWrite(pinChipSelect[4], level); }
    void spi_set_cs5(quint8 level) override { digitalWrite(pinChipSelect[5], level); }
    void spi_set_cs(quint8 shield, quint8 level) override;
    void restart() override;
    void delay_ms(quint32 ms) override;
    void delay_us(quint32 us) override;

protected:
    // Makes a pin an output.
    virtual void pinMode(quint8 pin) = 0;
    // Drives a pin to level 0 or 1.
    virtual void digitalWrite(quint8 pin, quint8 level) = 0;
};
