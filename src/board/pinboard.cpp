#include "board/pinboard.h"

#include <chrono>
#include <thread>

void PinBoard::gpio_init()
{
    pinMode(pinAux);
    digitalWrite(pinAux, 0);
    for (quint8 pin : pinChipSelect)
        pinMode(pin);
    pinMode(pinDebug);
    pinMode(pinReset);
    for (quint8 pin : pinChipSelect)
        digitalWrite(pin, 0);
    digitalWrite(pinDebug, 0);
    // Last: the shields leave reset only when every other line is set up.
    digitalWrite(pinReset, 1);
}

void PinBoard::spi_set_cs(quint8 shield, quint8 level)
{
    if (shield < maxShields)
        digitalWrite(pinChipSelect[shield], level);
}

void PinBoard::restart()
{
    digitalWrite(pinReset, 0);
    delay_ms(600);
    digitalWrite(pinReset, 1);
    delay_ms(200);
}

void PinBoard::delay_ms(quint32 ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void PinBoard::delay_us(quint32 us)
{
    std::this_thread::sleep_for(std::chrono::microseconds(us));
}
