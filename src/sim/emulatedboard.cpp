#include "sim/emulatedboard.h"

#include <QByteArray>

#include <cstring>

EmulatedBoard::EmulatedBoard(int selectLevel) : selectLevel(selectLevel)
{
    timerPeriodUs = 16000;
    for (size_t i = 0; i < models.size(); ++i)
        models[i].reset(new ShieldModel(static_cast<quint8>(i)));
}

void EmulatedBoard::digitalWrite(quint8 pin, quint8 level)
{
    if (pin >= levels.size())
        return;
    const quint8 old = levels[pin].exchange(level ? 1 : 0);
    if (pin == pinReset && old != levels[pin]) {
        for (auto &model : models)
            model->setReset(level == 0);
    }
}

int EmulatedBoard::selectedShield() const
{
    int lines[maxShields];
    for (int i = 0; i < maxShields; ++i)
        lines[i] = levels[pinChipSelect[i]].load();
    int select = selectLevel;
    if (select < 0) {
        // The odd one out is selected: count the ones.
        int ones = 0;
        for (int l : lines)
            ones += l;
        if (ones == 1)
            select = 1;
        else if (ones == 5)
            select = 0;
        else
            return -1;
    }
    int found = -1;
    for (int i = 0; i < maxShields; ++i) {
        if (lines[i] == select) {
            if (found >= 0)
                return -1;  // several selected: the bus is garbled, nobody answers
            found = i;
        }
    }
    return found;
}

void EmulatedBoard::spi_transfer(quint8 *buffer, quint8 *received, quint16 length)
{
    if (length == 0)
        return;
    const int shield = selectedShield();
    QByteArray in(length, '\0');
    if (shield >= 0 && levels[pinReset].load() == 1) {
        const QByteArray sent(reinterpret_cast<const char *>(buffer), length);
        in = models[static_cast<size_t>(shield)]->transfer(sent);
    }
    std::memcpy(buffer, in.constData(), length);
    std::memcpy(received, in.constData(), length);
}

void EmulatedBoard::delay_ms(quint32 ms)
{
    PinBoard::delay_ms(static_cast<quint32>(ms * delayScale.load()));
}
