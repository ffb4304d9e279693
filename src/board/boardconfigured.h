#pragma once
// The board's own hardware: GPIO lines through the kernel's GPIO character device (libgpiod 1.6
// or 2.x, gpiolines.h) and the shield SPI bus through the spidev node. Exactly one exists;
// thread use as Board.

#include "base/pimutex.h"
#include "board/buslock.h"
#include "board/failurereport.h"
#include "board/pinboard.h"

#include <QString>
#include <QStringList>

#include <array>

struct GpioChip;
struct GpioLine;

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
    // boardName: one of knownBoardNames(), empty to take it from the device tree (chooseBoard);
    // spidevPath: the SPI node, empty for the board's usual one; clockHz: the bus clock.
    explicit BoardConfigured(const QString &boardName = QString(),
                             const QString &spidevPath = QString(), quint32 clockHz = defaultSpiHz);
    ~BoardConfigured() override;

    static QString defaultBoardName();
    static QStringList knownBoardNames();
    static bool isKnownBoard(const QString &name);

    // Which pin map to use and why. With a name (from -board) that one; otherwise the device
    // tree decides: its compatible (or model) naming an H2+ gives opizero, an H3 gives h3, no
    // device tree the default. A device tree of any other SoC gives no name and the problem.
    struct Choice {
        QString name;
        QString reason;
        QString problem;
    };
    static Choice chooseBoard(const QString &boardName,
                              const QStringList &deviceTreeRoots = defaultDeviceTreeRoots());
    static QStringList defaultDeviceTreeRoots();

    // Opens the GPIO chip and says which pin map is used and why; without the chip nothing can
    // be driven, so the process ends with status 1, as it does when the device tree names a
    // board the driver has no pin map for.
    void lib_init() override;
    // Releases the requested lines and closes the GPIO chip; the lines then drive nothing.
    void lib_deinit() override;
    // Opens the SPI node, takes the bus for this driver alone and configures it. A second driver
    // on the same node ends the process with status 1; a node that cannot be opened or
    // configured is reported once, and transfers then clock in nothing: zeros.
    void spi_init() override;
    // Closes the SPI node and lets go of the bus; transfers then give zeros.
    void spi_deinit() override;
    // "-spi 1": the shield bus stays closed, which is said once; transfers give zeros.
    void spi1_init() override;
    void spi_set_cs(quint8 shield, quint8 level) override;
    // A transfer the kernel refuses gives zeros, is counted and reported (FailureReport); the
    // link's own error handling deals with the missing answer.
    void spi_transfer(quint8 *buffer, quint8 *received, quint16 length) override;
    void flushReports() override;

    // Another program than the driver on the same lines and node (stm-flash): the name its lines
    // are requested under and the bus clock. Set before lib_init and spi_init.
    void setClient(const char *consumerName, quint32 clockHz)
    {
        consumer = consumerName;
        speedHz = clockHz;
    }

    // The SPI node this board opens.
    QString spiNode() const { return spiPath; }

    // Failed transfers and line writes so far.
    quint64 transferFailures() const { return transferReport.total(); }
    quint64 lineFailures() const { return lineReport.total(); }

    std::array<void (*)(quint8), maxShields> csWriters;

    static constexpr const char *gpioChipLabel = "1c20800.pinctrl";

protected:
    // Requests the pin's line as an output. A pin whose line the chip lacks, or whose line
    // cannot be requested (held by another process, which is named, or no permission), ends the
    // process with status 1: the driver never runs without its reset or chip-select lines.
    void pinMode(quint8 pin) override;
    void digitalWrite(quint8 pin, quint8 level) override;

public:
    struct PinMap;  // which GPIO line offset each wiringPi pin is on one board

private:
    static const PinMap *findBoard(const QString &name);
    // The line offset of a wiringPi pin on this board, -1 for a pin the board does not use.
    int offsetOf(quint8 pin) const;
    [[noreturn]] void gpioFatal(quint8 pin, const QString &problem);

    Choice choice;
    const PinMap *map;
    const char *consumer = "stm-driver";
    quint32 speedHz = defaultSpiHz;
    QString spiPath;
    FailureReport transferReport;
    FailureReport lineReport;
    BusLock busLock;
    // The transfer thread transfers and selects while the main thread may drive the debug line
    // or close the board. One lock per device: a line write never waits for a transfer, which
    // holds its lock for the whole time on the bus (2.70 ms for an audio packet). Both locks
    // are priority-inheriting: the transfer thread may run at real-time priority.
    PiMutex spiMutex;  // guards spiFd
    int spiFd = -1;
    mutable PiMutex mutex;  // guards chip and lines
    GpioChip *chip = nullptr;
    std::array<GpioLine *, 32> lines{};  // requested output lines, index = wiringPi pin
};
