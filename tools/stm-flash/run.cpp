#include "stm-flash/run.h"

#include "common/say.h"
#include "stm-flash/backup.h"
#include "stm-flash/erase.h"
#include "stm-flash/progress.h"
#include "stm-flash/readout.h"
#include "stm-flash/session.h"

#include "link/flashplan.h"
#include "link/flashwriter.h"

#include <QElapsedTimer>
#include <QStringList>

#include <algorithm>

namespace StmFlash {

namespace {

// What the work is about to touch, against the flash the chip has: 0 when it fits.
int checkFits(const Options &o, const FlashImage &image, const Chip &chip)
{
    const quint64 end = quint64(StmBootloader::flashBase) + chip.flashSize;
    if (!o.readFile.isEmpty() && o.address + quint64(o.length) > end)
        return Say::fail(QStringLiteral("%1 bytes from %2 go past the end of the flash")
                             .arg(o.length)
                             .arg(StmBootloader::hex(o.address)));
    if (o.readFile.isEmpty() && image.highestEnd() > end)
        return Say::fail(
            QStringLiteral("the image ends at %1, past the end of the flash of %2 (%3); "
                           "nothing was erased")
                .arg(StmBootloader::hex(image.highestEnd() - 1), kib(chip.flashSize),
                     StmBootloader::hex(quint32(end - 1))));
    return 0;
}

// A size not read from the part may be larger than its flash: the bootloader refuses to read
// past the real end, so the image's last byte is asked for before anything is erased.
int checkLastByte(StmBootloader &host, const FlashImage &image)
{
    QByteArray last;
    if (host.readMemory(image.highestEnd() - 1, 1, &last))
        return 0;
    if (!host.refused())
        return Say::fail(host.error());
    return Say::fail(QStringLiteral("the image ends at %1, past the end of this part's flash: its "
                                    "bootloader refuses to read there (%2); nothing was erased")
                         .arg(StmBootloader::hex(image.highestEnd() - 1), host.error()));
}

// Finds the chip and checks the work fits it and is not barred by read-out protection (removed
// with --unprotect, after which the chip is asked again). 0 when the work can begin.
int prepare(Session &session, Chip *chip, const FlashImage &image)
{
    const Options &o = session.o;
    bool restart = true;
    for (int round = 0;; ++round) {
        if (int status = connect(session, chip, restart))
            return status;
        if (int status = checkFits(o, image, *chip))
            return status;
        bool again = false;
        if (int status = checkReadout(session.host, &again, o))
            return status;
        if (!again)
            break;
        if (round > 0)
            return Say::fail(QStringLiteral("the protection is still there after its removal"));
        restart = false;
    }
    if (o.readFile.isEmpty() && !chip->sizeRead)
        return checkLastByte(session.host, image);
    return 0;
}

// The work on an image, once the chip is known and the plan made.
struct Work {
    Session &session;
    Chip &chip;
    const FlashImage &image;
    const FlashPlan &plan;
    FlashWriter &writer;
    Phases &phases;
    quint32 goAddress;
    quint32 firstWord;  // the block holding the image's first word, written last
};

int verifyOnly(Work &w)
{
    const bool same = w.writer.compare();
    w.phases.finish();
    if (!same)
        return Say::fail(w.writer.error());
    Say::out(
        QStringLiteral("the shield's flash holds the image (%1 bytes compared in %2 s); nothing "
                       "was changed\n")
            .arg(w.image.byteCount())
            .arg(w.phases.seconds[1], 0, 'f', 1));
    return 0;
}

// --dry-run: what a run would do.
int tellPlan(Work &w)
{
    const Options &o = w.session.o;
    const QList<quint16> pages = w.plan.pages();
    Say::out(
        QStringLiteral("plan: erase %1%2, write %3 bytes in %4 blocks of up to %5 bytes in units "
                       "of %6, the block at %7 last, read them back and compare, go to %8; "
                       "nothing was changed (--dry-run)\n")
            .arg(o.massErase ? QStringLiteral("the whole flash")
                             : QStringLiteral("pages %1 to %2 (%3 pages)")
                                   .arg(pages.first())
                                   .arg(pages.last())
                                   .arg(pages.size()))
            .arg(o.backup.isEmpty() ? QString()
                                    : QStringLiteral(" after saving them into ") + o.backup)
            .arg(w.plan.bytes())
            .arg(w.plan.blocks().size())
            .arg(std::min<quint32>(StmBootloader::maxBlock,
                                   w.chip.pageSize ? w.chip.pageSize : StmBootloader::maxBlock))
            .arg(w.plan.unit())
            .arg(StmBootloader::hex(w.firstWord), StmBootloader::hex(w.goAddress)));
    return 0;
}

// What was mended on the way, for the summary: "(1 write unacknowledged but ...)" or nothing.
QString mendedOnTheWay(const StmBootloader &host, const FlashWriter &writer)
{
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
    return mended.isEmpty()
               ? QString()
               : QStringLiteral(" (") + mended.join(QStringLiteral("; ")) + QLatin1Char(')');
}

// Writes and verifies the erased plan; the summary names each phase's time.
int writeImage(Work &w, double eraseSeconds, const QElapsedTimer &total)
{
    const bool written = w.writer.program();
    w.phases.finish();
    if (!written)
        return Say::fail(
            w.writer.error() +
            (w.writer.firstWordSent()
                 ? QStringLiteral("; the image is incomplete: run stm-flash again")
                 : QStringLiteral("; the image is incomplete, but the block at %1 with its "
                                  "first word is not written yet, so a shield that "
                                  "checks for empty flash starts its bootloader again: "
                                  "run stm-flash again")
                       .arg(StmBootloader::hex(w.firstWord))));
    Say::out(QStringLiteral("wrote %1 bytes in %2 blocks and verified them, the block at %3 last; "
                            "erase %4 s, write %5 s, verify %6 s, %7 s in all%8\n")
                 .arg(w.plan.bytes())
                 .arg(w.plan.blocks().size())
                 .arg(StmBootloader::hex(w.firstWord))
                 .arg(eraseSeconds, 0, 'f', 1)
                 .arg(w.phases.seconds[0], 0, 'f', 1)
                 .arg(w.phases.seconds[1], 0, 'f', 1)
                 .arg(static_cast<double>(total.elapsed()) / 1000.0, 0, 'f', 1)
                 .arg(mendedOnTheWay(w.session.host, w.writer)));
    return 0;
}

// Go, and the application's own answer when it comes in time (the driver finds it anyway).
int startImage(Work &w)
{
    const int shield = w.session.o.shield;
    quint16 firmware = 0;
    switch (w.writer.start(w.goAddress, &firmware)) {
    case FlashWriter::Start::Failed:
        return Say::fail(w.writer.error() + QStringLiteral(" (the image is written and verified)"));
    case FlashWriter::Start::Runs:
        Say::out(QStringLiteral("started: %1, but shield %2 answers with its application%3\n")
                     .arg(w.writer.error())
                     .arg(shield)
                     .arg(firmware ? QStringLiteral(": firmware %1").arg(firmware) : QString()));
        return 0;
    case FlashWriter::Start::Acknowledged:
        break;
    }
    Say::out(
        QStringLiteral("started: Go to %1 acknowledged\n").arg(StmBootloader::hex(w.goAddress)));
    w.session.board->delay_ms(200);
    if (FlashWriter::applicationAnswers(w.session.board, &firmware) && firmware != 0)
        Say::out(QStringLiteral("shield %1 runs its application: firmware %2\n")
                     .arg(shield)
                     .arg(firmware));
    return 0;
}

// Everything after the checks, on an image: compare only, tell the plan, or save, erase, write,
// verify and start.
int flashImage(Session &session, Chip &chip, const FlashImage &image, const QElapsedTimer &total)
{
    const Options &o = session.o;
    const FlashPlan plan(image, StmBootloader::flashBase, chip.pageSize, chip.programUnit,
                         o.massErase);
    if (!plan.error().isEmpty())
        return Say::fail(plan.error() +
                         QStringLiteral("; give the part's real --page-size; nothing "
                                        "was changed"));
    FlashWriter writer(&session.host, session.board, plan);
    Phases phases;
    writer.setProgress([&phases](FlashWriter::Phase phase, qint64 done, qint64 all) {
        phases.show(phase, done, all);
    });
    Work w{session,
           chip,
           image,
           plan,
           writer,
           phases,
           o.goGiven ? o.goAddress : image.lowest(),
           plan.blocks().last().address};
    if (o.verifyOnly)
        return verifyOnly(w);
    if (o.dryRun)
        return tellPlan(w);
    if (!o.backup.isEmpty()) {
        if (int status = backup(session, plan, chip, o))
            return status;
    }
    double eraseSeconds = 0;
    if (int status = erase(session, plan, &chip, &eraseSeconds))
        return status;
    if (int status = writeImage(w, eraseSeconds, total))
        return status;
    return startImage(w);
}

}  // namespace

int run(Board *board, const Options &o, const FlashImage &image)
{
    Session session(board, o);
    Chip chip;
    QElapsedTimer total;
    total.start();
    if (int status = prepare(session, &chip, image))
        return status;
    if (!o.readFile.isEmpty())
        return readToFile(session, o);
    return flashImage(session, chip, image, total);
}

}  // namespace StmFlash
