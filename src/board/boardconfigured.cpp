#include "board/boardconfigured.h"

#include "base/console.h"
#include "board/gpiolines.h"

#include <QFile>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/spi/spidev.h>
#include <sys/ioctl.h>
#include <unistd.h>

// Line offsets on the SoC's main pin controller (bank x 32 + pin; PA = 0, PC = 2, PD = 3) of each
// wiringPi pin the driver uses, per supported board.
struct BoardConfigured::PinMap {
    const char *name;
    const char *spidev;
    const char *compatible;  // the SoC's entry in the device tree's compatible list
    const char *socName;     // how a device tree's model may name the SoC
    struct Entry {
        quint8 pin;
        unsigned offset;
    };
    Entry entries[9];
};

namespace {

const BoardConfigured::PinMap *const noMap = nullptr;

BoardConfigured *configuredBoard = nullptr;  // the one instance, for the chip-select writers

}  // namespace

static const BoardConfigured::PinMap boardMaps[] = {
    // Orange Pi Zero (H2+): SPI controller 1 on the header.
    {"opizero",
     "/dev/spidev1.1",
     "allwinner,sun8i-h2-plus",
     "H2+",
     {{7, 0}, {15, 13}, {16, 10}, {13, 2}, {10, 18}, {9, 19}, {8, 3}, {0, 12}, {6, 7}}},
    // H3 boards (Orange Pi PC, One, Lite): SPI controller 0 on the header.
    {"h3",
     "/dev/spidev0.0",
     "allwinner,sun8i-h3",
     "H3",
     {{7, 0}, {15, 67}, {16, 21}, {13, 2}, {10, 71}, {9, 68}, {8, 3}, {0, 12}, {6, 110}}},
};

void wiringop_gpio_cs0_write(quint8 level) { configuredBoard->spi_set_cs0(level); }
void wiringop_gpio_cs1_write(quint8 level) { configuredBoard->spi_set_cs1(level); }
void wiringop_gpio_cs2_write(quint8 level) { configuredBoard->spi_set_cs2(level); }
void wiringop_gpio_cs3_write(quint8 level) { configuredBoard->spi_set_cs3(level); }
void wiringop_gpio_cs4_write(quint8 level) { configuredBoard->spi_set_cs4(level); }
void wiringop_gpio_cs5_write(quint8 level) { configuredBoard->spi_set_cs5(level); }

BoardConfigured::BoardConfigured(const QString &boardName, const QString &spidevPath,
                                 quint32 clockHz)
    : choice(chooseBoard(boardName)),
      map(findBoard(choice.name)),
      spiPath(spidevPath.isEmpty() ? QString::fromLatin1((map ? map : &boardMaps[0])->spidev)
                                   : spidevPath),
      transferReport(QStringLiteral("SPI: transfer on ") + spiPath),
      lineReport(QStringLiteral("GPIO: line write on \"") + QLatin1String(gpioChipLabel) +
                 QLatin1Char('"'))
{
    if (!map)
        map = &boardMaps[0];
    timerPeriodUs = 16000;
    speedHz = clockHz;
    csWriters = {wiringop_gpio_cs0_write, wiringop_gpio_cs1_write, wiringop_gpio_cs2_write,
                 wiringop_gpio_cs3_write, wiringop_gpio_cs4_write, wiringop_gpio_cs5_write};
    configuredBoard = this;
}

BoardConfigured::~BoardConfigured()
{
    if (configuredBoard == this)
        configuredBoard = nullptr;
    lib_deinit();
    spi_deinit();
}

QString BoardConfigured::defaultBoardName()
{
    return QString::fromLatin1(boardMaps[0].name);
}

QStringList BoardConfigured::knownBoardNames()
{
    QStringList names;
    for (const PinMap &m : boardMaps)
        names << QString::fromLatin1(m.name);
    return names;
}

bool BoardConfigured::isKnownBoard(const QString &name)
{
    return findBoard(name) != noMap;
}

QStringList BoardConfigured::defaultDeviceTreeRoots()
{
    return {QStringLiteral("/proc/device-tree"), QStringLiteral("/sys/firmware/devicetree/base")};
}

namespace {

// The contents of a device-tree property, false when the file cannot be read.
bool readProperty(const QString &path, QByteArray *contents)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buffer[1024];
    contents->clear();
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        contents->append(buffer, static_cast<int>(n));
    }
    ::close(fd);
    return true;
}

}  // namespace

BoardConfigured::Choice BoardConfigured::chooseBoard(const QString &boardName,
                                                     const QStringList &deviceTreeRoots)
{
    if (!boardName.isEmpty())
        return {boardName, QStringLiteral("given with -board"), QString()};
    for (const QString &root : deviceTreeRoots) {
        QByteArray model, compatible;
        const bool hasModel = readProperty(root + QStringLiteral("/model"), &model);
        const bool hasCompatible = readProperty(root + QStringLiteral("/compatible"), &compatible);
        if (!hasModel && !hasCompatible)
            continue;
        // Both are NUL-terminated; compatible is a list of NUL-separated entries.
        // QString::fromUtf8(QByteArray) would stop at the first NUL.
        const QString modelText =
            QString::fromUtf8(model.constData(), model.size()).remove(QChar(0)).trimmed();
        const QStringList entries = QString::fromUtf8(compatible.constData(), compatible.size())
                                        .split(QChar(0), Qt::SkipEmptyParts);
        const QString detail = QStringLiteral("model \"") + modelText +
                               QStringLiteral("\", compatible ") + entries.join(QLatin1Char(' '));
        const QString reason = QStringLiteral("device tree: ") + detail;
        for (const PinMap &m : boardMaps) {
            if (entries.contains(QLatin1String(m.compatible)))
                return {QLatin1String(m.name), reason, QString()};
        }
        for (const PinMap &m : boardMaps) {
            if (modelText.contains(QLatin1String(m.socName)))
                return {QLatin1String(m.name), reason, QString()};
        }
        return {QString(), reason,
                QStringLiteral("the device tree (") + detail +
                    QStringLiteral(") names neither an H2+ nor an H3 board; name the pin map with "
                                   "-board (") +
                    knownBoardNames().join(QStringLiteral(", ")) + QLatin1Char(')')};
    }
    return {defaultBoardName(), QStringLiteral("no device tree: the default"), QString()};
}

const BoardConfigured::PinMap *BoardConfigured::findBoard(const QString &name)
{
    for (const PinMap &m : boardMaps) {
        if (name == QLatin1String(m.name))
            return &m;
    }
    return noMap;
}

void BoardConfigured::lib_init()
{
    if (!choice.problem.isEmpty()) {
        Console::err.line(QStringLiteral("#ERROR: board: ") + choice.problem);
        std::exit(1);
    }
    std::unique_lock<PiMutex> lock(mutex);
    if (chip)
        return;
    chip = gpio::openChip(gpioChipLabel);
    if (chip) {
        lock.unlock();
        Console::err.line(QStringLiteral("#BOARD: pin map ") + QLatin1String(map->name) +
                          QStringLiteral(" (") + choice.reason + QLatin1Char(')'));
        return;
    }
    lock.unlock();
    const int error = errno;
    Console::err.line(QStringLiteral("#ERROR: GPIO: cannot open the GPIO chip \"") +
                      QLatin1String(gpioChipLabel) + QStringLiteral("\" (") +
                      QString::fromLocal8Bit(std::strerror(error)) +
                      (error == EACCES || error == EPERM
                           ? QStringLiteral("); /dev/gpiochip*: is the user in the group "
                                            "stm-driver?")
                           : QStringLiteral("); not on the board? Run with -simbus PATH to "
                                            "reach simulated shields instead of the hardware")));
    std::exit(1);
}

void BoardConfigured::lib_deinit()
{
    std::lock_guard<PiMutex> lock(mutex);
    for (GpioLine *&line : lines) {
        if (line)
            gpio::release(line);
        line = nullptr;
    }
    if (chip)
        gpio::closeChip(chip);
    chip = nullptr;
}

void BoardConfigured::spi_init()
{
    const QByteArray path = spiPath.toLocal8Bit();
    const int fd = ::open(path.constData(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        Console::err.line(QStringLiteral("#ERROR: SPI: cannot open ") + spiPath +
                          QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(error)) +
                          QStringLiteral("; no shield can be reached") +
                          (error == EACCES || error == EPERM
                               ? QStringLiteral("; is the user in the group stm-driver?")
                               : QString()));
        return;
    }
    // Before any line is driven: a second driver on this bus would garble both.
    if (!busLock.lock(fd, spiPath)) {
        Console::err.line(QStringLiteral("#ERROR: SPI: ") + busLock.problem() +
                          QStringLiteral("; one driver per bus, exiting"));
        ::close(fd);
        std::exit(1);
    }
    quint8 mode = SPI_MODE_0;
    quint8 bits = 8;
    quint32 speed = speedHz;
    if (::ioctl(fd, SPI_IOC_WR_MODE, &mode) < 0 ||
        ::ioctl(fd, SPI_IOC_WR_BITS_PER_WORD, &bits) < 0 ||
        ::ioctl(fd, SPI_IOC_WR_MAX_SPEED_HZ, &speed) < 0) {
        Console::err.line(QStringLiteral("#ERROR: SPI: cannot configure ") + spiPath +
                          QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errno)) +
                          QStringLiteral("; no shield can be reached"));
        busLock.release();
        ::close(fd);
        return;
    }
    {
        std::lock_guard<PiMutex> lock(spiMutex);
        spiFd = fd;
    }
    Console::err.line(QStringLiteral("#SPI: ") + spiPath + QStringLiteral(" opened, mode 0, ") +
                      QString::number(speed) + QStringLiteral(" Hz"));
}

void BoardConfigured::spi_deinit()
{
    std::lock_guard<PiMutex> lock(spiMutex);
    busLock.release();
    if (spiFd >= 0)
        ::close(spiFd);
    spiFd = -1;
}

void BoardConfigured::spi1_init()
{
    Console::err.line(QStringLiteral("#WARNING: SPI: -spi 1 selects the alternative interface; "
                                     "the shield bus ") +
                      spiPath + QStringLiteral(" stays closed and no shield can be reached"));
}

void BoardConfigured::spi_set_cs(quint8 shield, quint8 level)
{
    if (shield < csWriters.size())
        csWriters[shield](level);
}

void BoardConfigured::spi_transfer(quint8 *buffer, quint8 *received, quint16 length)
{
    if (length == 0)
        return;
    int error = 0;
    {
        std::lock_guard<PiMutex> lock(spiMutex);
        if (spiFd >= 0) {
            spi_ioc_transfer transfer;
            std::memset(&transfer, 0, sizeof transfer);
            transfer.tx_buf = reinterpret_cast<quint64>(buffer);
            transfer.rx_buf = reinterpret_cast<quint64>(buffer);
            transfer.len = length;
            transfer.speed_hz = speedHz;
            transfer.bits_per_word = 8;
            if (::ioctl(spiFd, SPI_IOC_MESSAGE(1), &transfer) < 0)
                error = errno;
        } else {
            error = -1;  // no bus: nothing clocked in, said once by spi_init
        }
    }
    if (error != 0) {
        // Nothing came from a shield: an answer of zeros, never the bytes sent, so no frame of
        // ours is ever taken for a shield's.
        std::memset(buffer, 0, length);
        if (error > 0)
            transferReport.failed(error);
    }
    std::memcpy(received, buffer, length);
}

int BoardConfigured::offsetOf(quint8 pin) const
{
    for (const PinMap::Entry &e : map->entries) {
        if (e.pin == pin)
            return static_cast<int>(e.offset);
    }
    return -1;
}

void BoardConfigured::gpioFatal(quint8 pin, const QString &problem)
{
    Console::err.line(QStringLiteral("#ERROR: GPIO: pin ") + QString::number(pin) +
                      QStringLiteral(" (line offset ") + QString::number(offsetOf(pin)) +
                      QStringLiteral(" of \"") + QLatin1String(gpioChipLabel) +
                      QStringLiteral("\", board ") + QLatin1String(map->name) +
                      QStringLiteral("): ") + problem + QStringLiteral("; exiting"));
    std::exit(1);
}

void BoardConfigured::pinMode(quint8 pin)
{
    std::unique_lock<PiMutex> lock(mutex);
    const int offset = offsetOf(pin);
    if (!chip || offset < 0 || pin >= lines.size() || lines[pin])
        return;
    const unsigned count = gpio::lineCount(chip);
    if (static_cast<unsigned>(offset) >= count) {
        lock.unlock();
        gpioFatal(pin, QStringLiteral("the chip has only ") + QString::number(count) +
                           QStringLiteral(" lines; is -board right?"));
    }
    GpioLine *line = gpio::requestOutput(chip, static_cast<unsigned>(offset), consumer);
    if (!line) {
        const int error = errno;
        const std::string holder =
            error == EBUSY ? gpio::holder(chip, static_cast<unsigned>(offset)) : std::string();
        lock.unlock();
        gpioFatal(pin, QStringLiteral("cannot request the line: ") +
                           QString::fromLocal8Bit(std::strerror(error)) +
                           (error == EBUSY
                                ? (holder.empty()
                                       ? QStringLiteral(" (held by another process)")
                                       : QStringLiteral(" (held by \"") +
                                             QString::fromStdString(holder) + QStringLiteral("\")"))
                            : error == EACCES || error == EPERM
                                ? QStringLiteral("; is the user in the group stm-driver?")
                                : QString()));
    }
    lines[pin] = line;
}

void BoardConfigured::flushReports()
{
    transferReport.flush();
    lineReport.flush();
}

void BoardConfigured::digitalWrite(quint8 pin, quint8 level)
{
    int error = 0;
    {
        std::lock_guard<PiMutex> lock(mutex);
        GpioLine *line = pin < lines.size() ? lines[pin] : nullptr;
        if (!line)
            return;
        if (!gpio::setLevel(line, level ? 1 : 0))
            error = errno;
    }
    if (error != 0)
        lineReport.failed(error);
}
