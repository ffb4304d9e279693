#include "stm-flash/options.h"

#include "common/optionreader.h"

namespace StmFlash {

const char *const usage =
    "Usage: stm-flash [options] IMAGE\n"
    "       stm-flash [options] --verify-only IMAGE\n"
    "       stm-flash [options] --read FILE --length N\n"
    "Writes IMAGE (raw binary or Intel HEX) into one shield's flash through its STM32 system\n"
    "bootloader over the shields' SPI bus, reads it back, compares it and starts it (Go).\n"
    "Stop the host's driver first: stm-flash takes the bus for itself.\n"
    "\n"
    "Where the shield is (as for stm-driver):\n"
    "  -shield N          the shield, 0-5 (default 0; above 0 needs -multishield)\n"
    "  -multishield       chip select 1 selects a shield (the board serves several)\n"
    "  -board NAME        the pin map: opizero or h3 (default: from the device tree)\n"
    "  -spidev PATH       the SPI node (default: the board's)\n"
    "  -simbus PATH       the simulated bus of shield-sim instead of the board\n"
    "  --clock HZ         SPI clock while talking to the bootloader (default 500000)\n"
    "\n"
    "What to do:\n"
    "  --format bin|hex   the image's format (default: .hex, .ihex, .ihx or a first byte ':'\n"
    "                     is Intel HEX, .bin or other binary content is raw; text that is\n"
    "                     neither is refused)\n"
    "  --address ADDR     where a binary image goes (default 0x08000000)\n"
    "  --go ADDR          where to start it (default: the image's lowest address)\n"
    "  --mass-erase       erase the whole flash instead of the image's pages\n"
    "  --backup FILE      first save what is about to be erased into FILE, a new Intel HEX\n"
    "                     file (.hex, .ihex or .ihx) that stm-flash can write back\n"
    "  --flash-size N     the flash size (K or M suffix), instead of the product ID's table\n"
    "  --page-size N      the flash page size, instead of the product ID's table\n"
    "  --unprotect        remove read-out and write protection when met; removing read-out\n"
    "                     protection erases the whole flash\n"
    "  --verify-only      compare the shield's flash with IMAGE; erase, write and start nothing\n"
    "  --read FILE        write N bytes of flash from --address into FILE (a new file)\n"
    "  --length N         how many bytes --read takes (K or M suffix)\n"
    "  --dry-run          check the image, find the bootloader, tell the plan; change nothing\n"
    "  --help             this text\n"
    "\n"
    "Exit status: 0 written, verified and started (or verified, read, planned); 1 failed (the\n"
    "error names the operation and address); 2 the shield runs its application: it needs its\n"
    "bootloader (blank flash, or the board's boot jumper). The block with the image's first\n"
    "word is written last, so a run cut short leaves that word blank: a shield that checks for\n"
    "empty flash starts its bootloader again, and running stm-flash again completes the work.\n";

bool parseSize(const QString &word, quint32 *value)
{
    QString w = word;
    quint64 scale = 1;
    if (w.endsWith(QLatin1Char('K'), Qt::CaseInsensitive)) {
        scale = 1024;
        w.chop(1);
    } else if (w.endsWith(QLatin1Char('M'), Qt::CaseInsensitive)) {
        scale = 1024 * 1024;
        w.chop(1);
    }
    bool ok = false;
    const quint64 n =
        w.startsWith(QLatin1String("0x")) ? w.mid(2).toULongLong(&ok, 16) : w.toULongLong(&ok, 10);
    if (!ok || n * scale > 0xFFFFFFFFull)
        return false;
    *value = static_cast<quint32>(n * scale);
    return true;
}

namespace {

// The value of the option read as a size; the problem "OPTION takes a number ..." when it is not
// one.
void takeSize(OptionReader &args, quint32 *to)
{
    const QString value = args.value();
    if (!parseSize(value, to))
        args.fail(args.word() + QStringLiteral(" takes a number (K or M suffix, or 0x hex), not ") +
                  value);
}

const struct {
    const char *name;
    bool Options::*flag;
} flags[] = {
    {"-multishield", &Options::multiShield}, {"--mass-erase", &Options::massErase},
    {"--unprotect", &Options::unprotect},    {"--verify-only", &Options::verifyOnly},
    {"--dry-run", &Options::dryRun},
};

const struct {
    const char *name;
    QString Options::*text;
} texts[] = {
    {"-board", &Options::board},    {"-spidev", &Options::spidev},  {"-simbus", &Options::simbus},
    {"--backup", &Options::backup}, {"--read", &Options::readFile},
};

const struct {
    const char *name;
    quint32 Options::*size;
} sizes[] = {
    {"--address", &Options::address},
    {"--flash-size", &Options::flashSize},
    {"--page-size", &Options::pageSize},
    {"--length", &Options::length},
};

// The rules between options, once each is read; the first broken one, or an empty text.
QString combinationProblem(const Options &o)
{
    if (!o.readFile.isEmpty() && (o.length == 0 || !o.image.isEmpty() || o.verifyOnly))
        return QStringLiteral("--read FILE takes --length N and no image");
    if (o.readFile.isEmpty() && o.image.isEmpty())
        return QStringLiteral("no image given");
    if (o.shield > 0 && !o.multiShield)
        return QStringLiteral(
                   "-shield %1 needs -multishield: without it only shield 0 is on the "
                   "bus")
            .arg(o.shield);
    if (!o.backup.isEmpty() && (!o.readFile.isEmpty() || o.verifyOnly))
        return QStringLiteral(
            "--backup saves what an erase takes: not with --read or "
            "--verify-only");
    if (!o.backup.isEmpty() && FlashImage::formatOfName(o.backup) != FlashImage::Format::Hex)
        return QStringLiteral(
            "--backup FILE is Intel HEX: name it .hex, .ihex or .ihx, so that "
            "stm-flash takes it back as it is");
    if (o.pageSize != 0 && ((o.pageSize & (o.pageSize - 1)) != 0 || o.pageSize < 64))
        return QStringLiteral("--page-size takes a power of two, 64 or more");
    if (o.flashSize != 0 && o.pageSize != 0 && o.flashSize % o.pageSize != 0)
        return QStringLiteral("--flash-size must be a multiple of --page-size");
    return QString();
}

// One option (and its value), or the image.
void takeArgument(OptionReader &args, Options *o)
{
    for (const auto &f : flags) {
        if (args.is(f.name)) {
            o->*f.flag = true;
            return;
        }
    }
    for (const auto &t : texts) {
        if (args.is(t.name)) {
            o->*t.text = args.value();
            return;
        }
    }
    for (const auto &s : sizes) {
        if (args.is(s.name)) {
            takeSize(args, &(o->*s.size));
            return;
        }
    }
    qint64 shield = 0;
    if (args.is("-shield")) {
        if (args.number(0, 5, &shield, QStringLiteral("an address 0-5")))
            o->shield = static_cast<int>(shield);
    } else if (args.is("--clock")) {
        takeSize(args, &o->clockHz);
        if (args.ok() && (o->clockHz < 10000 || o->clockHz > 8000000))
            args.fail(QStringLiteral("--clock takes 10000 to 8000000 Hz"));
    } else if (args.is("--format")) {
        const QString format = args.value();
        if (format == QLatin1String("bin"))
            o->format = FlashImage::Format::Binary;
        else if (format == QLatin1String("hex"))
            o->format = FlashImage::Format::Hex;
        else
            args.fail(QStringLiteral("--format takes bin or hex"));
    } else if (args.is("--go")) {
        o->goGiven = true;
        takeSize(args, &o->goAddress);
    } else if (args.isOption()) {
        args.unknown();
    } else if (!o->image.isEmpty()) {
        args.fail(QStringLiteral("one image only (") + o->image + QStringLiteral(", ") +
                  args.word() + QLatin1Char(')'));
    } else {
        o->image = args.word();
    }
}

}  // namespace

Parsed parseOptions(const QStringList &words, Options *o, QString *problem)
{
    OptionReader args(words);
    while (args.next()) {
        if (args.is("--help") || args.is("-h"))
            return Parsed::Help;
        takeArgument(args, o);
    }
    *problem = args.ok() ? combinationProblem(*o) : args.problem();
    return problem->isEmpty() ? Parsed::Run : Parsed::Bad;
}

}  // namespace StmFlash
