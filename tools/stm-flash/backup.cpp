#include "stm-flash/backup.h"

#include "common/safefile.h"
#include "common/say.h"
#include "stm-flash/progress.h"

#include "link/flashimage.h"
#include "link/flashwriter.h"

#include <QFile>

#include <cerrno>
#include <unistd.h>

namespace StmFlash {

namespace {

// "cannot create PATH: reason", "cannot write PATH: reason".
QString cannot(const char *what, const QString &path, int error)
{
    return QStringLiteral("cannot %1 %2: %3")
        .arg(QLatin1String(what), path, SafeFile::reason(error));
}

}  // namespace

int readToFile(Session &session, const Options &o)
{
    const int fd = SafeFile::createNew(o.readFile, 0644);
    if (fd < 0)
        return Say::fail(cannot("create", o.readFile, errno));
    Progress progress(QStringLiteral("read"), o.length);
    QByteArray data;
    const bool ok = FlashWriter::read(&session.host, o.address, o.length, &data,
                                      [&progress](qint64 done) { progress.show(done); });
    const double seconds = progress.finish();
    if (const int error = SafeFile::finish(fd, data))
        return Say::fail(cannot("write", o.readFile, error));
    if (!ok)
        return Say::fail(
            session.host.error() +
            QStringLiteral("; %1 holds the %2 bytes before it").arg(o.readFile).arg(data.size()));
    Say::out(QStringLiteral("read %1 bytes from %2 into %3 in %4 s\n")
                 .arg(o.length)
                 .arg(StmBootloader::hex(o.address), o.readFile)
                 .arg(seconds, 0, 'f', 1));
    return 0;
}

namespace {

// What an erase takes, neighbouring pages joined into one run each.
QList<FlashImage::Segment> erasedRuns(const FlashPlan &plan, const Chip &chip)
{
    QList<FlashImage::Segment> runs;
    if (plan.massErase() || chip.pageSize == 0)
        return {FlashImage::Segment{StmBootloader::flashBase, QByteArray(int(chip.flashSize), 0)}};
    for (quint16 p : plan.pages()) {
        const quint32 at = plan.pageAddress(p);
        if (!runs.isEmpty() && runs.last().address + quint32(runs.last().bytes.size()) == at)
            runs.last().bytes.resize(runs.last().bytes.size() + int(chip.pageSize));
        else
            runs << FlashImage::Segment{at, QByteArray(int(chip.pageSize), 0)};
    }
    return runs;
}

void removeFile(const QString &path)
{
    ::unlink(QFile::encodeName(path).constData());
}

}  // namespace

int backup(Session &session, const FlashPlan &plan, const Chip &chip, const Options &o)
{
    QList<FlashImage::Segment> runs = erasedRuns(plan, chip);
    qint64 total = 0;
    for (const FlashImage::Segment &r : runs)
        total += r.bytes.size();
    const int fd = SafeFile::createNew(o.backup, 0644);
    if (fd < 0)
        return Say::fail(cannot("create", o.backup, errno));
    Progress progress(QStringLiteral("backup"), total);
    qint64 before = 0;
    for (FlashImage::Segment &r : runs) {
        const quint32 length = quint32(r.bytes.size());
        if (!FlashWriter::read(&session.host, r.address, length, &r.bytes,
                               [&](qint64 done) { progress.show(before + done); })) {
            progress.finish();
            ::close(fd);
            removeFile(o.backup);
            return Say::fail(session.host.error() +
                             QStringLiteral("; no backup was saved and nothing "
                                            "was erased"));
        }
        before += length;
    }
    const double seconds = progress.finish();
    if (const int error = SafeFile::finish(fd, FlashImage::toHex(runs))) {
        removeFile(o.backup);
        return Say::fail(cannot("write", o.backup, error));
    }
    Say::out(
        QStringLiteral("saved %1 from %2 to %3 into %4 in %5 s (stm-flash %4 writes it back)\n")
            .arg(kib(total))
            .arg(StmBootloader::hex(runs.first().address),
                 StmBootloader::hex(runs.last().address + quint32(runs.last().bytes.size()) - 1),
                 o.backup)
            .arg(seconds, 0, 'f', 1));
    return 0;
}

}  // namespace StmFlash
