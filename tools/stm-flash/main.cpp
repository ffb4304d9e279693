// stm-flash: writes an application image into one shield through its STM32 system bootloader,
// over the shields' own SPI bus (the board's GPIO and spidev, or the simulated bus), then reads
// it back, compares it and starts it. It takes the bus lock first, so it never runs beside a
// driver. The image and the plan (FlashImage, FlashPlan) are decided before the bus is touched;
// FlashWriter writes and starts it; this file holds the command line, the session's steps and
// what is printed. Exit status 0 when the image verified and the application started; 2 when
// the shield runs its application instead of its bootloader; 1 for every other failure.

#include "base/qtcompat.h"
#include "board/boardconfigured.h"
#include "board/boardsimbus.h"
#include "board/buslock.h"
#include "link/bootloadercodes.h"
#include "link/flashimage.h"
#include "link/flashplan.h"
#include "link/flashwriter.h"
#include "link/stmbootloader.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QStringList>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <fcntl.h>
#include <unistd.h>

namespace {

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

std::atomic<bool> interrupted{false};

void onSignal(int)
{
    interrupted = true;
}

void say(const QString &text)
{
    const QByteArray bytes = (text + QLatin1Char('\n')).toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
    std::fflush(stdout);
}

int fail(const QString &text)
{
    std::fprintf(stderr, "stm-flash: %s\n", qPrintable(text));
    return 1;
}

QString kib(qint64 bytes)
{
    return bytes % 1024 == 0 ? QStringLiteral("%1 KiB").arg(bytes / 1024)
                             : QStringLiteral("%1 bytes").arg(bytes);
}

// "65536", "64K", "1M", "0x10000".
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

// Progress on standard error: a bar on a terminal, a line per 10 % otherwise.
class Progress
{
public:
    Progress(const QString &what, qint64 total) : what(what), total(total > 0 ? total : 1)
    {
        tty = ::isatty(STDERR_FILENO) != 0;
        clock.start();
        show(0);
    }
    void show(qint64 done)
    {
        const int percent = static_cast<int>(done * 100 / total);
        if (tty) {
            const int filled = percent * 30 / 100;
            std::fprintf(stderr, "\r%-8s [%s%s] %3d%%", qPrintable(what),
                         QByteArray(filled, '#').constData(),
                         QByteArray(30 - filled, '.').constData(), percent);
            std::fflush(stderr);
        } else if (percent / 10 > lastTenth) {
            lastTenth = percent / 10;
            std::fprintf(stderr, "stm-flash: %s %d%%\n", qPrintable(what), lastTenth * 10);
        }
    }
    // Seconds it took.
    double finish()
    {
        if (tty)
            std::fprintf(stderr, "\n");
        return static_cast<double>(clock.elapsed()) / 1000.0;
    }

private:
    QString what;
    qint64 total;
    bool tty = false;
    int lastTenth = 0;
    QElapsedTimer clock;
};

struct Options {
    QString image;
    int shield = 0;
    bool multiShield = false;
    QString board;
    QString spidev;
    QString simbus;
    quint32 clockHz = 500000;
    FlashImage::Format format = FlashImage::Format::Detect;
    quint32 address = StmBootloader::flashBase;
    bool goGiven = false;
    quint32 goAddress = 0;
    bool massErase = false;
    QString backup;
    quint32 flashSize = 0;
    quint32 pageSize = 0;
    bool unprotect = false;
    bool verifyOnly = false;
    QString readFile;
    quint32 length = 0;
    bool dryRun = false;
};

// The shields' lines and the bus, for one session; lines released and node closed on every
// way out.
class Session
{
public:
    Session(Board *board, const Options &o) : board(board), o(o), host(board)
    {
        host.setStopCheck([] { return interrupted.load(); });
    }
    ~Session()
    {
        board->spi_set_cs(static_cast<quint8>(o.shield), Board::releaseLevel(o.multiShield));
        board->gpio_set_reset(1);
    }

    // All shields restart: held selected in reset for 600 ms, 200 ms to settle, released; then
    // the target is selected for the whole session.
    void reset()
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

    Board *board;
    const Options &o;
    StmBootloader host;
};

// What the shield's bootloader and flash are.
struct Chip {
    quint8 version = 0;
    quint16 productId = 0;
    QString family;
    quint32 flashSize = 0;
    quint32 pageSize = 0;
    int programUnit = StmBootloader::anyProgramUnit;
};

int applicationRuns(const Options &o, quint16 firmware)
{
    std::fprintf(stderr,
                 "stm-flash: shield %d runs its application (firmware %u), not its STM32 "
                 "bootloader; stm-flash writes only through the bootloader. A shield with blank "
                 "flash starts in it by itself; otherwise set the shield's boot jumper (BOOT0 "
                 "high), run stm-flash again, and remove the jumper afterwards.\n",
                 o.shield, firmware);
    return 2;
}

// Resets, finds the bootloader and reads what the chip is. 0 when it is there. `restart` false:
// the chip restarted by itself and answered a synchronisation already.
int connect(Session &session, Chip *chip, bool restart = true)
{
    const Options &o = session.o;
    StmBootloader &host = session.host;
    quint16 firmware = 0;
    if (restart)
        session.reset();
    if (restart && FlashWriter::applicationAnswers(session.board, &firmware))
        return applicationRuns(o, firmware);
    if (restart && !host.sync())
        return fail(QStringLiteral("shield %1 does not answer as an STM32 bootloader (%2). Is it "
                                   "plugged in, and is -shield%3 right?")
                        .arg(o.shield)
                        .arg(host.error(), o.multiShield
                                               ? QString()
                                               : QStringLiteral(" (without -multishield)")));
    QByteArray commands;
    if (!host.get(&chip->version, &commands) || !host.getId(&chip->productId))
        return fail(host.error());
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
        return fail(QStringLiteral("the bootloader does not offer ") +
                    missing.join(QStringLiteral(", ")));

    const StmBootloader::Part *part = StmBootloader::findPart(chip->productId);
    chip->family = part ? QString::fromLatin1(part->family) : QStringLiteral("not in the table");
    chip->flashSize = o.flashSize ? o.flashSize : (part ? part->flashSize : 0);
    chip->pageSize = o.pageSize ? o.pageSize : (part ? part->pageSize : 0);
    if (part)
        chip->programUnit = part->programUnit;
    say(QStringLiteral("shield %1: STM32 bootloader %2.%3, product ID 0x%4 (%5)")
            .arg(o.shield)
            .arg(chip->version >> 4)
            .arg(chip->version & 0xF)
            .arg(chip->productId, 3, 16, QLatin1Char('0'))
            .arg(chip->family));
    if (chip->flashSize == 0 ||
        (chip->pageSize == 0 && !o.massErase && o.readFile.isEmpty() && !o.verifyOnly))
        return fail(QStringLiteral("product ID 0x%1 is not in stm-flash's table (families with "
                                   "an SPI bootloader and pages of one size): give --flash-size "
                                   "and --page-size, or --flash-size and --mass-erase")
                        .arg(chip->productId, 3, 16, QLatin1Char('0')));
    say(QStringLiteral("flash: %1 from 0x08000000%2, written in units of %3 bytes")
            .arg(kib(chip->flashSize))
            .arg(chip->pageSize ? QStringLiteral(", pages of %1").arg(kib(chip->pageSize))
                                : QString())
            .arg(chip->programUnit));
    return 0;
}

// Read-out protection shows as a refused Read Memory. 0 when the flash can be read.
int checkReadout(StmBootloader &host, bool *retryAfterUnprotect, const Options &o)
{
    QByteArray probe;
    if (host.readMemory(StmBootloader::flashBase, 4, &probe))
        return 0;
    if (!host.refused())
        return fail(host.error());
    if (!o.backup.isEmpty())
        return fail(QStringLiteral("read-out protection is active: the bootloader refuses to read "
                                   "(%1), so --backup cannot save the flash, and removing the "
                                   "protection erases all of it; nothing was changed")
                        .arg(host.error()));
    if (!o.unprotect || o.dryRun)
        return fail(QStringLiteral("read-out protection is active: the bootloader refuses to read "
                                   "(%1). stm-flash --unprotect removes it, and the chip then "
                                   "erases its whole flash")
                        .arg(host.error()));
    say(QStringLiteral("removing the read-out protection: the chip erases its whole flash"));
    if (!host.readoutUnprotect())
        return fail(host.error());
    *retryAfterUnprotect = true;
    // The chip erases after its acknowledges and then restarts by itself; a reset would cut the
    // erase short, so its bootloader is awaited instead.
    if (!host.awaitSync(host.timeouts().massEraseMs))
        return fail(host.error() + QStringLiteral(" after the protection's removal: the chip "
                                                  "may still be erasing; run stm-flash again"));
    return 0;
}

// Names the write-protected page of a refused erase or write, or gives the error.
int refusedPages(Session &session, const QList<quint16> &pages, const Chip &chip,
                 bool *retryAfterUnprotect)
{
    StmBootloader &host = session.host;
    const QString first = host.error();
    if (!host.refused())
        return fail(first);
    int protectedPage = -1;
    for (quint16 p : pages) {
        if (!host.erasePages({p}) && host.refused()) {
            protectedPage = p;
            break;
        }
    }
    const QString which =
        protectedPage >= 0
            ? QStringLiteral("page %1 (%2 to %3)")
                  .arg(protectedPage)
                  .arg(StmBootloader::hex(StmBootloader::flashBase +
                                          quint32(protectedPage) * chip.pageSize),
                       StmBootloader::hex(StmBootloader::flashBase +
                                          quint32(protectedPage + 1) * chip.pageSize - 1))
            : QStringLiteral("a page of the image");
    if (!session.o.unprotect)
        return fail(which + QStringLiteral(" is write-protected (") + first +
                    QStringLiteral("). stm-flash --unprotect removes the protection"));
    say(QStringLiteral("removing the write protection (") + which + QLatin1Char(')'));
    if (!host.writeUnprotect())
        return fail(host.error());
    *retryAfterUnprotect = true;
    return 0;
}

// A new file only: an existing one is never overwritten, a link never followed, and the mode is
// final at creation. 0 with *fd open.
int createNew(const QString &path, int *fd)
{
    *fd = ::open(QFile::encodeName(path).constData(),
                 O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (*fd < 0)
        return fail(QStringLiteral("cannot create %1: %2")
                        .arg(path, QString::fromLocal8Bit(std::strerror(errno))));
    return 0;
}

// Writes `bytes` into the new file, to the disk, and closes it. 0 when all of it is there.
int finishNew(const QString &path, int fd, const QByteArray &bytes)
{
    qint64 done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += n;
    }
    const int error = done < bytes.size() ? errno : (::fsync(fd) != 0 ? errno : 0);
    if (::close(fd) != 0 || error != 0)
        return fail(QStringLiteral("cannot write %1: %2")
                        .arg(path, QString::fromLocal8Bit(std::strerror(error ? error : errno))));
    return 0;
}

int readToFile(Session &session, const Options &o)
{
    int fd = -1;
    if (int status = createNew(o.readFile, &fd))
        return status;
    Progress progress(QStringLiteral("read"), o.length);
    QByteArray data;
    const bool ok = FlashWriter::read(&session.host, o.address, o.length, &data,
                                      [&progress](qint64 done) { progress.show(done); });
    const double seconds = progress.finish();
    if (int status = finishNew(o.readFile, fd, data))
        return status;
    if (!ok)
        return fail(
            session.host.error() +
            QStringLiteral("; %1 holds the %2 bytes before it").arg(o.readFile).arg(data.size()));
    say(QStringLiteral("read %1 bytes from %2 into %3 in %4 s")
            .arg(o.length)
            .arg(StmBootloader::hex(o.address), o.readFile)
            .arg(seconds, 0, 'f', 1));
    return 0;
}

// Saves what the erase is about to take (the plan's pages, or the whole flash) into a new Intel
// HEX file, before anything is erased. 0 when all of it is saved; a partial file is removed.
int backup(Session &session, const FlashPlan &plan, const Chip &chip, const Options &o)
{
    QList<FlashImage::Segment> runs;  // neighbouring pages read as one
    if (plan.massErase() || chip.pageSize == 0) {
        runs << FlashImage::Segment{StmBootloader::flashBase, QByteArray(int(chip.flashSize), 0)};
    } else {
        for (quint16 p : plan.pages()) {
            const quint32 at = plan.pageAddress(p);
            if (!runs.isEmpty() && runs.last().address + quint32(runs.last().bytes.size()) == at)
                runs.last().bytes.resize(runs.last().bytes.size() + int(chip.pageSize));
            else
                runs << FlashImage::Segment{at, QByteArray(int(chip.pageSize), 0)};
        }
    }
    qint64 total = 0;
    for (const FlashImage::Segment &r : runs)
        total += r.bytes.size();
    int fd = -1;
    if (int status = createNew(o.backup, &fd))
        return status;
    Progress progress(QStringLiteral("backup"), total);
    qint64 before = 0;
    for (FlashImage::Segment &r : runs) {
        const quint32 length = quint32(r.bytes.size());
        if (!FlashWriter::read(&session.host, r.address, length, &r.bytes,
                               [&](qint64 done) { progress.show(before + done); })) {
            progress.finish();
            ::close(fd);
            ::unlink(QFile::encodeName(o.backup).constData());
            return fail(session.host.error() + QStringLiteral("; no backup was saved and nothing "
                                                              "was erased"));
        }
        before += length;
    }
    const double seconds = progress.finish();
    if (int status = finishNew(o.backup, fd, FlashImage::toHex(runs))) {
        ::unlink(QFile::encodeName(o.backup).constData());
        return status;
    }
    say(QStringLiteral("saved %1 from %2 to %3 into %4 in %5 s (stm-flash %4 writes it back)")
            .arg(kib(total))
            .arg(StmBootloader::hex(runs.first().address),
                 StmBootloader::hex(runs.last().address + quint32(runs.last().bytes.size()) - 1),
                 o.backup)
            .arg(seconds, 0, 'f', 1));
    return 0;
}

// The writer's phases as progress bars, with the seconds each took.
class Phases
{
public:
    void show(FlashWriter::Phase phase, qint64 done, qint64 total)
    {
        if (!bar || phase != current) {
            finish();
            current = phase;
            bar.reset(new Progress(phase == FlashWriter::Phase::Write ? QStringLiteral("write")
                                                                      : QStringLiteral("verify"),
                                   total));
        }
        bar->show(done);
    }
    void finish()
    {
        if (bar)
            seconds[current == FlashWriter::Phase::Write ? 0 : 1] = bar->finish();
        bar.reset();
    }
    double seconds[2] = {0, 0};  // write, verify

private:
    std::unique_ptr<Progress> bar;
    FlashWriter::Phase current = FlashWriter::Phase::Write;
};

int run(Board *board, const Options &o, const FlashImage &image)
{
    Session session(board, o);
    StmBootloader &host = session.host;
    Chip chip;
    QElapsedTimer total;
    total.start();
    bool restart = true;
    for (int round = 0;; ++round) {
        if (int status = connect(session, &chip, restart))
            return status;
        if (!o.readFile.isEmpty() &&
            o.address + quint64(o.length) > quint64(StmBootloader::flashBase) + chip.flashSize)
            return fail(QStringLiteral("%1 bytes from %2 go past the end of the flash")
                            .arg(o.length)
                            .arg(StmBootloader::hex(o.address)));
        if (o.readFile.isEmpty() &&
            image.highestEnd() > quint64(StmBootloader::flashBase) + chip.flashSize)
            return fail(
                QStringLiteral("the image ends at %1, past the end of the flash of %2 "
                               "(%3); nothing was erased")
                    .arg(StmBootloader::hex(image.highestEnd() - 1), kib(chip.flashSize),
                         StmBootloader::hex(StmBootloader::flashBase + chip.flashSize - 1)));
        bool again = false;
        if (int status = checkReadout(host, &again, o))
            return status;
        if (again && round == 0) {
            restart = false;
            continue;
        }
        if (again)
            return fail(QStringLiteral("the protection is still there after its removal"));
        break;
    }
    if (!o.readFile.isEmpty())
        return readToFile(session, o);

    const FlashPlan plan(image, StmBootloader::flashBase, chip.pageSize, chip.programUnit,
                         o.massErase);
    const quint32 goAddress = o.goGiven ? o.goAddress : image.lowest();
    const quint32 firstWord = plan.blocks().last().address;
    FlashWriter writer(&host, board, plan);
    Phases phases;
    writer.setProgress([&phases](FlashWriter::Phase phase, qint64 done, qint64 all) {
        phases.show(phase, done, all);
    });
    if (o.verifyOnly) {
        const bool same = writer.compare();
        phases.finish();
        if (!same)
            return fail(writer.error());
        say(QStringLiteral("the shield's flash holds the image (%1 bytes compared in %2 s); "
                           "nothing was changed")
                .arg(image.byteCount())
                .arg(phases.seconds[1], 0, 'f', 1));
        return 0;
    }

    const QList<quint16> pages = plan.pages();
    if (o.dryRun) {
        say(QStringLiteral("plan: erase %1%2, write %3 bytes in %4 blocks of up to %5 bytes in "
                           "units of %6, the block at %7 last, read them back and compare, go to "
                           "%8; nothing was changed (--dry-run)")
                .arg(o.massErase ? QStringLiteral("the whole flash")
                                 : QStringLiteral("pages %1 to %2 (%3 pages)")
                                       .arg(pages.first())
                                       .arg(pages.last())
                                       .arg(pages.size()))
                .arg(o.backup.isEmpty() ? QString()
                                        : QStringLiteral(" after saving them into ") + o.backup)
                .arg(plan.bytes())
                .arg(plan.blocks().size())
                .arg(std::min<quint32>(StmBootloader::maxBlock,
                                       chip.pageSize ? chip.pageSize : StmBootloader::maxBlock))
                .arg(plan.unit())
                .arg(StmBootloader::hex(firstWord), StmBootloader::hex(goAddress)));
        return 0;
    }
    if (!o.backup.isEmpty()) {
        if (int status = backup(session, plan, chip, o))
            return status;
    }

    // Erase: the image's pages in frames of up to 16, or the whole flash.
    double eraseSeconds = 0;
    for (int round = 0;; ++round) {
        Progress progress(QStringLiteral("erase"), o.massErase ? 1 : pages.size());
        bool again = false;
        int status = 0;
        if (o.massErase) {
            if (!host.massErase())
                status = refusedPages(session, pages, chip, &again);
        } else {
            for (int i = 0; i < pages.size() && !again && status == 0; i += 16) {
                const QList<quint16> group = pages.mid(i, 16);
                if (!host.erasePages(group))
                    status = refusedPages(session, group, chip, &again);
                progress.show(std::min(i + 16, int(pages.size())));
            }
        }
        eraseSeconds = progress.finish();
        if (status)
            return status;
        if (!again)
            break;
        if (round > 0)
            return fail(QStringLiteral("the protection is still there after its removal"));
        // The option bytes are written when the second acknowledge comes: a reset is safe now.
        if (int s = connect(session, &chip))
            return s;
    }

    const bool written = writer.program();
    phases.finish();
    if (!written)
        return fail(writer.error() +
                    (writer.firstWordSent()
                         ? QStringLiteral("; the image is incomplete: run stm-flash again")
                         : QStringLiteral("; the image is incomplete, but the block at %1 with its "
                                          "first word is not written yet, so a shield that "
                                          "checks for empty flash starts its bootloader again: "
                                          "run stm-flash again")
                               .arg(StmBootloader::hex(firstWord))));
    QStringList mended;
    const auto count = [&mended](int n, const char *one, const char *many, const char *what) {
        if (n > 0)
            mended << QStringLiteral("%1 %2 %3")
                          .arg(n)
                          .arg(QLatin1String(n == 1 ? one : many), QLatin1String(what));
    };
    count(host.retries(), "try", "tries", "repeated after a NACK or a time-out");
    count(writer.keptWithoutAck(), "write", "writes", "unacknowledged but read back intact");
    count(writer.pagesRewritten(), "page", "pages", "erased and written again");
    say(QStringLiteral("wrote %1 bytes in %2 blocks and verified them, the block at %3 last; "
                       "erase %4 s, write %5 s, verify %6 s, %7 s in all%8")
            .arg(plan.bytes())
            .arg(plan.blocks().size())
            .arg(StmBootloader::hex(firstWord))
            .arg(eraseSeconds, 0, 'f', 1)
            .arg(phases.seconds[0], 0, 'f', 1)
            .arg(phases.seconds[1], 0, 'f', 1)
            .arg(static_cast<double>(total.elapsed()) / 1000.0, 0, 'f', 1)
            .arg(mended.isEmpty() ? QString()
                                  : QStringLiteral(" (") + mended.join(QStringLiteral("; ")) +
                                        QLatin1Char(')')));

    quint16 firmware = 0;
    switch (writer.start(goAddress, &firmware)) {
    case FlashWriter::Start::Failed:
        return fail(writer.error() + QStringLiteral(" (the image is written and verified)"));
    case FlashWriter::Start::Runs:
        say(QStringLiteral("started: %1, but shield %2 answers with its application%3")
                .arg(writer.error())
                .arg(o.shield)
                .arg(firmware ? QStringLiteral(": firmware %1").arg(firmware) : QString()));
        return 0;
    case FlashWriter::Start::Acknowledged:
        break;
    }
    say(QStringLiteral("started: Go to %1 acknowledged").arg(StmBootloader::hex(goAddress)));
    // The application's own answer, when it comes in time; the driver finds it anyway.
    board->delay_ms(200);
    if (FlashWriter::applicationAnswers(board, &firmware) && firmware != 0)
        say(QStringLiteral("shield %1 runs its application: firmware %2")
                .arg(o.shield)
                .arg(firmware));
    return 0;
}

}  // namespace

int main(int argc, char *argv[])
{
    QtCompat::quietLocaleNotice();
    QCoreApplication app(argc, argv);
    Options o;
    const QStringList args = app.arguments().mid(1);
    bool goodArgs = true;
    QString problem;
    for (int i = 0; i < args.size() && goodArgs; ++i) {
        const QString &a = args.at(i);
        const auto value = [&]() -> QString {
            if (i + 1 >= args.size()) {
                problem = a + QStringLiteral(" needs a value");
                goodArgs = false;
                return QString();
            }
            return args.at(++i);
        };
        const auto size = [&](quint32 *to) {
            const QString v = value();
            if (goodArgs && !parseSize(v, to)) {
                problem =
                    a + QStringLiteral(" takes a number (K or M suffix, or 0x hex), not ") + v;
                goodArgs = false;
            }
        };
        if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
            std::fputs(usage, stdout);
            return 0;
        } else if (a == QLatin1String("-shield")) {
            bool ok = false;
            o.shield = value().toInt(&ok);
            if (goodArgs && (!ok || o.shield < 0 || o.shield > 5)) {
                problem = QStringLiteral("-shield takes an address 0-5");
                goodArgs = false;
            }
        } else if (a == QLatin1String("-multishield")) {
            o.multiShield = true;
        } else if (a == QLatin1String("-board")) {
            o.board = value();
        } else if (a == QLatin1String("-spidev")) {
            o.spidev = value();
        } else if (a == QLatin1String("-simbus")) {
            o.simbus = value();
        } else if (a == QLatin1String("--clock")) {
            size(&o.clockHz);
            if (goodArgs && (o.clockHz < 10000 || o.clockHz > 8000000)) {
                problem = QStringLiteral("--clock takes 10000 to 8000000 Hz");
                goodArgs = false;
            }
        } else if (a == QLatin1String("--format")) {
            const QString f = value();
            if (f == QLatin1String("bin"))
                o.format = FlashImage::Format::Binary;
            else if (f == QLatin1String("hex"))
                o.format = FlashImage::Format::Hex;
            else if (goodArgs) {
                problem = QStringLiteral("--format takes bin or hex");
                goodArgs = false;
            }
        } else if (a == QLatin1String("--address")) {
            size(&o.address);
        } else if (a == QLatin1String("--go")) {
            size(&o.goAddress);
            o.goGiven = true;
        } else if (a == QLatin1String("--mass-erase")) {
            o.massErase = true;
        } else if (a == QLatin1String("--backup")) {
            o.backup = value();
        } else if (a == QLatin1String("--flash-size")) {
            size(&o.flashSize);
        } else if (a == QLatin1String("--page-size")) {
            size(&o.pageSize);
        } else if (a == QLatin1String("--unprotect")) {
            o.unprotect = true;
        } else if (a == QLatin1String("--verify-only")) {
            o.verifyOnly = true;
        } else if (a == QLatin1String("--read")) {
            o.readFile = value();
        } else if (a == QLatin1String("--length")) {
            size(&o.length);
        } else if (a == QLatin1String("--dry-run")) {
            o.dryRun = true;
        } else if (a.startsWith(QLatin1Char('-')) && a.size() > 1) {
            problem = QStringLiteral("unknown option ") + a;
            goodArgs = false;
        } else if (o.image.isEmpty()) {
            o.image = a;
        } else {
            problem = QStringLiteral("one image only (") + o.image + QStringLiteral(", ") + a +
                      QLatin1Char(')');
            goodArgs = false;
        }
    }
    if (goodArgs) {
        if (!o.readFile.isEmpty() && (o.length == 0 || !o.image.isEmpty() || o.verifyOnly))
            problem = QStringLiteral("--read FILE takes --length N and no image");
        else if (o.readFile.isEmpty() && o.image.isEmpty())
            problem = QStringLiteral("no image given");
        else if (o.shield > 0 && !o.multiShield)
            problem = QStringLiteral(
                          "-shield %1 needs -multishield: without it only shield 0 is "
                          "on the bus")
                          .arg(o.shield);
        else if (!o.backup.isEmpty() && (!o.readFile.isEmpty() || o.verifyOnly))
            problem = QStringLiteral(
                "--backup saves what an erase takes: not with --read or "
                "--verify-only");
        else if (!o.backup.isEmpty() &&
                 FlashImage::formatOfName(o.backup) != FlashImage::Format::Hex)
            problem = QStringLiteral(
                "--backup FILE is Intel HEX: name it .hex, .ihex or .ihx, so "
                "that stm-flash takes it back as it is");
        else if (o.pageSize != 0 && ((o.pageSize & (o.pageSize - 1)) != 0 || o.pageSize < 64))
            problem = QStringLiteral("--page-size takes a power of two, 64 or more");
        else if (o.flashSize != 0 && o.pageSize != 0 && o.flashSize % o.pageSize != 0)
            problem = QStringLiteral("--flash-size must be a multiple of --page-size");
        goodArgs = problem.isEmpty();
    }
    if (!goodArgs) {
        std::fprintf(stderr, "stm-flash: %s\n\n%s", qPrintable(problem), usage);
        return 1;
    }

    // The image is checked before anything touches the bus: against the flash size given, or
    // the largest flash of the table until the product ID tells the real one.
    FlashImage image;
    if (o.readFile.isEmpty()) {
        quint32 largest = 0;
        for (const StmBootloader::Part &p : StmBootloader::parts())
            largest = std::max(largest, p.flashSize);
        if (!image.load(o.image, o.format, o.address, StmBootloader::flashBase,
                        o.flashSize ? o.flashSize : largest))
            return fail(image.error() + QStringLiteral("; nothing was touched"));
        say(QStringLiteral("image %1: %2, %3 bytes from %4 to %5")
                .arg(o.image, image.format() == FlashImage::Format::Hex
                                  ? QStringLiteral("Intel HEX")
                                  : QStringLiteral("binary"))
                .arg(image.byteCount())
                .arg(StmBootloader::hex(image.lowest()),
                     StmBootloader::hex(image.highestEnd() - 1)));
    }

    // The bus lock before any line moves: a running driver keeps it, and is named.
    BusLock lock;
    std::unique_ptr<Board> board;
    QString path;  // the SPI node
    if (o.simbus.isEmpty()) {
        if (!o.board.isEmpty() && !BoardConfigured::isKnownBoard(o.board))
            return fail(QStringLiteral("-board takes ") +
                        BoardConfigured::knownBoardNames().join(QStringLiteral(" or ")));
        auto *configured = new BoardConfigured(o.board, o.spidev);
        configured->setClient("stm-flash", o.clockHz);
        path = configured->spiNode();
        board.reset(configured);
    } else {
        board.reset(new BoardSimbus(o.simbus));
    }
    int lockFd = -1;
    if (o.simbus.isEmpty()) {
        lockFd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CLOEXEC);
        if (lockFd < 0)
            return fail(QStringLiteral("cannot open the SPI node %1: %2")
                            .arg(path, QString::fromLocal8Bit(std::strerror(errno))));
        if (!lock.lock(lockFd, path)) {
            const QString why = lock.problem();
            ::close(lockFd);
            return fail(why + QStringLiteral(": stop the host's driver first (stm-flash needs "
                                             "the bus for itself), then run stm-flash again"));
        }
    } else if (!lock.lockFile(BoardSimbus::lockPath(o.simbus),
                              QStringLiteral("simulated bus \"") + o.simbus + QLatin1Char('"')) &&
               lock.busy()) {
        return fail(lock.problem() + QStringLiteral(": stop the host's driver first (stm-flash "
                                                    "needs the bus for itself), then run "
                                                    "stm-flash again"));
    }

    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    std::signal(SIGPIPE, SIG_IGN);
    board->lib_init();
    if (o.simbus.isEmpty())
        board->spi_init();
    board->gpio_init();
    int status = run(board.get(), o, image);
    if (interrupted && status != 0)
        status =
            fail(QStringLiteral("interrupted; the shield's flash may be incomplete: run "
                                "stm-flash again"));
    board->lib_deinit();
    board->spi_deinit();
    if (lockFd >= 0)
        ::close(lockFd);
    return status;
}
