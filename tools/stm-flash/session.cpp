#include "stm-flash/session.h"

#include "common/say.h"
#include "common/stopsignals.h"

#include "link/bootloadercodes.h"
#include "link/flashwriter.h"

#include <QList>
#include <QPair>
#include <QStringList>

namespace StmFlash {

QString kib(qint64 bytes)
{
    return bytes % 1024 == 0 ? QStringLiteral("%1 KiB").arg(bytes / 1024)
                             : QStringLiteral("%1 bytes").arg(bytes);
}

Session::Session(Board *board, const Options &o) : board(board), o(o), host(board)
{
    host.setStopCheck([] { return StopSignals::caught() != 0; });
}

Session::~Session()
{
    board->spi_set_cs(static_cast<quint8>(o.shield), Board::releaseLevel(o.multiShield));
    board->gpio_set_reset(1);
}

void Session::reset()
{
    const quint8 select = Board::selectLevel(o.multiShield);
    const quint8 release = Board::releaseLevel(o.multiShield);
    for (quint8 s = 0; s < maxShields; ++s)
        board->spi_set_cs(s, select);
    board->gpio_set_reset(0);
    board->delay_ms(600);
    board->gpio_set_reset(1);
    board->delay_ms(200);
    for (quint8 s = 0; s < maxShields; ++s)
        board->spi_set_cs(s, release);
    board->spi_set_cs(static_cast<quint8>(o.shield), select);
}

namespace {

int applicationRuns(const Options &o, quint16 firmware)
{
    Say::fail(QStringLiteral("shield %1 runs its application (firmware %2), not its STM32 "
                             "bootloader; stm-flash writes only through the bootloader. A shield "
                             "with blank flash starts in it by itself; otherwise set the shield's "
                             "boot jumper (BOOT0 high), run stm-flash again, and remove the jumper "
                             "afterwards.")
                  .arg(o.shield)
                  .arg(firmware));
    return 2;
}

// Restarts the shields and synchronises with the target's bootloader. 0 when it answered.
int findBootloader(Session &session)
{
    const Options &o = session.o;
    quint16 firmware = 0;
    session.reset();
    if (FlashWriter::applicationAnswers(session.board, &firmware))
        return applicationRuns(o, firmware);
    if (!session.host.sync())
        return Say::fail(
            QStringLiteral("shield %1 does not answer as an STM32 bootloader (%2). Is it "
                           "plugged in, and is -shield%3 right?")
                .arg(o.shield)
                .arg(session.host.error(),
                     o.multiShield ? QString() : QStringLiteral(" (without -multishield)")));
    return 0;
}

// The bootloader's version and product ID, and that it offers every command stm-flash uses.
int identify(StmBootloader &host, Chip *chip)
{
    QByteArray commands;
    if (!host.get(&chip->version, &commands) || !host.getId(&chip->productId))
        return Say::fail(host.error());
    quint8 version = 0;
    if (host.getVersion(&version))
        chip->version = version;
    QStringList missing;
    const QList<QPair<quint8, const char *>> needed = {
        {BootloaderCodes::cmdRead, "Read Memory"},
        {BootloaderCodes::cmdGo, "Go"},
        {BootloaderCodes::cmdWrite, "Write Memory"},
        {BootloaderCodes::cmdErase, "Extended Erase"}};
    for (const auto &n : needed) {
        if (!commands.contains(static_cast<char>(n.first)))
            missing << QStringLiteral("%1 (0x%2)")
                           .arg(QLatin1String(n.second))
                           .arg(n.first, 2, 16, QLatin1Char('0'));
    }
    if (!missing.isEmpty())
        return Say::fail(QStringLiteral("the bootloader does not offer ") +
                         missing.join(QStringLiteral(", ")));
    return 0;
}

// The part's own flash size from its family's register into chip->flashSize; where the
// bootloader refuses to read it, or it holds no size, the family's largest. Says which.
QString readFlashSize(StmBootloader &host, const StmBootloader::Part &part, Chip *chip)
{
    QByteArray word;
    QString why;
    // Asked once: a refusal is the bootloader's answer, not a fault to count as a retry.
    if (host.readMemory(part.sizeRegister, 2, &word, 1)) {
        const quint32 kib = quint32(quint8(word.at(0))) | quint32(quint8(word.at(1))) << 8;
        if (kib > 0 && kib < 0xFFFF && kib * 1024 % part.pageSize == 0) {
            chip->flashSize = kib * 1024;
            chip->sizeRead = true;
            return QStringLiteral("read from its flash size register");
        }
        why = QStringLiteral("the flash size register at %1 holds 0x%2, not a size")
                  .arg(StmBootloader::hex(part.sizeRegister))
                  .arg(kib, 4, 16, QLatin1Char('0'));
    } else {
        why = QStringLiteral("the flash size register cannot be read (%1)").arg(host.error());
    }
    chip->flashSize = part.flashSize;
    Say::fail(why + QStringLiteral(": the family's largest flash is assumed"));
    return QStringLiteral("the family's largest, assumed");
}

// The flash from the product ID's table, the part itself and the options. 0 when its size is
// known, and its page size where the work needs one.
int describeFlash(Session &session, Chip *chip)
{
    const Options &o = session.o;
    const StmBootloader::Part *part = StmBootloader::findPart(chip->productId);
    chip->family = part ? QString::fromLatin1(part->family) : QStringLiteral("not in the table");
    chip->pageSize = o.pageSize ? o.pageSize : (part ? part->pageSize : 0);
    if (part)
        chip->programUnit = part->programUnit;
    Say::out(QStringLiteral("shield %1: STM32 bootloader %2.%3, product ID 0x%4 (%5)\n")
                 .arg(o.shield)
                 .arg(chip->version >> 4)
                 .arg(chip->version & 0xF)
                 .arg(chip->productId, 3, 16, QLatin1Char('0'))
                 .arg(chip->family));
    if ((o.flashSize == 0 && !part) ||
        (chip->pageSize == 0 && !o.massErase && o.readFile.isEmpty() && !o.verifyOnly))
        return Say::fail(
            QStringLiteral("product ID 0x%1 is not in stm-flash's table (families with "
                           "an SPI bootloader and pages of one size): give --flash-size "
                           "and --page-size, or --flash-size and --mass-erase")
                .arg(chip->productId, 3, 16, QLatin1Char('0')));
    chip->flashSize = o.flashSize;
    chip->sizeRead = false;
    const QString source = o.flashSize ? QStringLiteral("given by --flash-size")
                                       : readFlashSize(session.host, *part, chip);
    Say::out(QStringLiteral("flash: %1 from 0x08000000 (%2)%3, written in units of %4 bytes\n")
                 .arg(kib(chip->flashSize), source)
                 .arg(chip->pageSize ? QStringLiteral(", pages of %1").arg(kib(chip->pageSize))
                                     : QString())
                 .arg(chip->programUnit));
    return 0;
}

}  // namespace

int connect(Session &session, Chip *chip, bool restart)
{
    if (restart) {
        if (int status = findBootloader(session))
            return status;
    }
    if (int status = identify(session.host, chip))
        return status;
    return describeFlash(session, chip);
}

}  // namespace StmFlash
