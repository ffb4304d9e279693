#pragma once
// A board whose six shields are ShieldModels in this process: chip-select and reset levels are
// followed as the wires would carry them, and each SPI transfer reaches the one selected shield.
// Thread use as Board; the models lock themselves, the line levels are atomic.

#include "board/pinboard.h"
#include "sim/shieldmodel.h"

#include <array>
#include <atomic>
#include <memory>

class EmulatedBoard : public PinBoard
{
public:
    // selectLevel: the chip-select level that selects a shield (1 with several shields, 0 with
    // one); -1 infers it: the one line whose level differs from the other five is selected.
    explicit EmulatedBoard(int selectLevel = -1);

    void spi_transfer(quint8 *buffer, quint8 *received, quint16 length) override;
    // Delays are scaled by this factor (1 = real time); tests shorten the reboot with it.
    void setDelayScale(double scale) { delayScale = scale; }
    void delay_ms(quint32 ms) override;

    // Drives a line as the driver would (for a bus simulator relaying the driver's writes).
    void setLine(quint8 pin, quint8 level) { digitalWrite(pin, level); }
    ShieldModel &shield(int address) { return *models.at(static_cast<size_t>(address)); }
    // The shield a transfer would reach now, or -1.
    int selectedShield() const;
    quint8 level(quint8 pin) const { return levels.at(pin).load(); }

protected:
    void pinMode(quint8) override {}
    void digitalWrite(quint8 pin, quint8 level) override;

private:
    const int selectLevel;
    std::atomic<double> delayScale{1.0};
    std::array<std::unique_ptr<ShieldModel>, maxShields> models;
    std::array<std::atomic<quint8>, 32> levels{};
};
