#include "stm-flash/erase.h"

#include "common/say.h"
#include "stm-flash/progress.h"

namespace StmFlash {

namespace {

// The first page of `pages` whose erase alone is refused; -1 when none is.
int firstRefusedPage(StmBootloader &host, const QList<quint16> &pages)
{
    for (quint16 p : pages) {
        if (!host.erasePages({p}) && host.refused())
            return p;
    }
    return -1;
}

// Names the write-protected page of a refused erase, or gives the error.
int refusedPages(Session &session, const QList<quint16> &pages, const Chip &chip,
                 bool *retryAfterUnprotect)
{
    StmBootloader &host = session.host;
    const QString first = host.error();
    if (!host.refused())
        return Say::fail(first);
    const int page = firstRefusedPage(host, pages);
    const quint32 start = StmBootloader::flashBase + quint32(page) * chip.pageSize;
    const QString which = page >= 0 ? QStringLiteral("page %1 (%2 to %3)")
                                          .arg(page)
                                          .arg(StmBootloader::hex(start),
                                               StmBootloader::hex(start + chip.pageSize - 1))
                                    : QStringLiteral("a page of the image");
    // A page the part does not have is refused as a protected one is, but reading it is refused
    // too: removing protection would rewrite the option bytes for nothing.
    QByteArray byte;
    if (page >= 0 && !host.readMemory(start, 1, &byte) && host.refused())
        return Say::fail(which +
                         QStringLiteral(" lies past the end of this part's flash: its "
                                        "bootloader refuses to erase it and to read it (") +
                         first + QStringLiteral("); the image does not fit this part"));
    if (!session.o.unprotect)
        return Say::fail(which + QStringLiteral(" is write-protected (") + first +
                         QStringLiteral("). stm-flash --unprotect removes the protection"));
    Say::out(QStringLiteral("removing the write protection (") + which + QStringLiteral(")\n"));
    if (!host.writeUnprotect())
        return Say::fail(host.error());
    *retryAfterUnprotect = true;
    return 0;
}

// One pass over the plan. 0 when all of it is erased, or when a protection was removed
// (*again: the erase is to be done anew).
int erasePass(Session &session, const FlashPlan &plan, const Chip &chip, bool *again,
              double *seconds)
{
    StmBootloader &host = session.host;
    const QList<quint16> pages = plan.pages();
    Progress progress(QStringLiteral("erase"), plan.massErase() ? 1 : pages.size());
    int status = 0;
    if (plan.massErase()) {
        if (!host.massErase())
            status = refusedPages(session, pages, chip, again);
    } else {
        for (int i = 0; i < pages.size() && !*again && status == 0; i += 16) {
            const QList<quint16> group = pages.mid(i, 16);
            if (!host.erasePages(group))
                status = refusedPages(session, group, chip, again);
            progress.show(std::min(i + 16, int(pages.size())));
        }
    }
    *seconds = progress.finish();
    return status;
}

}  // namespace

int erase(Session &session, const FlashPlan &plan, Chip *chip, double *seconds)
{
    for (int round = 0;; ++round) {
        bool again = false;
        if (int status = erasePass(session, plan, *chip, &again, seconds))
            return status;
        if (!again)
            return 0;
        if (round > 0)
            return Say::fail(QStringLiteral("the protection is still there after its removal"));
        // The option bytes are written when the second acknowledge comes: a reset is safe now.
        if (int status = connect(session, chip))
            return status;
    }
}

}  // namespace StmFlash
