#pragma once
// The board's own hardware: GPIO lines through the kernel's GPIO character device (libgpiod)
// and the shield SPI bus through the spidev node. Exactly one exists; thread use as Board.

#include "board/pinboard.h"

#include <QString>
#include <QStringList>

#include <array>

struct gpiod_chip;
struct gpiod_line;

// Chip-select writers of shields 0 to 5 on the one configured board.
void wiringop_gpio_cs0_write(quint8 level);
void wiringop_gpio_cs1_write(quint8 level);
void wiringop_gpio_cs2_write(quint8 level);
void wiringop_gpio_cs3_write(quint8 level);
void wiringop_gpio_cs4_write(quint8 level);
void wiringop_gpio_cs5_write(quint8 level);

class BoardConfigured : public PinBoard
{
public:
    // boardName: one of knownBoardNames() (empty: the default); spidevPath: the SPI node, empty
    // for the board's usual one.
    explicit BoardConfigured(const QString &boardName = QString(),
                             const QString &spidevPath = QString());
    ~BoardConfigured() override;

    static QString defaultBoardName();
    static QStringList knownBoardNames();
    static bool isKnownBoard(const QString &name);

    // Opens the GPIO chip; without it nothing can be driven, so the process ends with status 1.
    void lib_init() override;
    // Opens and configures the SPI node; a failure is reported once and transfers then return
    // the bytes sent.
    void spi_init() override;
    void spi_set_cs(quint8 shield, quint8 level) override;
    void spi_transfer(quint8 *buffer, quint8 *received, quint16 length) override;

    std::array<void (*)(quint8), maxShields> csWriters;

    static constexpr const char *gpioChipLabel = "1c20800.pinctrl";
    static constexpr quint32 spiSpeedHz = 1562500;

protected:
    void pinMode(quint8 pin) override;
    void digitalWrite(quint8 pin, quint8 level) override;

public:
    struct PinMap;  // which GPIO line offset each wiringPi pin is on one board

private:
    static const PinMap *findBoard(const QString &name);
    gpiod_line *lineOf(quint8 pin);

    const PinMap *map;
    QString spiPath;
    int spiFd = -1;
    gpiod_chip *chip = nullptr;
    std::array<gpiod_line *, 32> lines{};  // requested output lines, index = wiringPi pin
};
