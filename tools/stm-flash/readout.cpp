#include "stm-flash/readout.h"

#include "common/say.h"

namespace StmFlash {

int checkReadout(StmBootloader &host, bool *retryAfterUnprotect, const Options &o)
{
    QByteArray probe;
    if (host.readMemory(StmBootloader::flashBase, 4, &probe))
        return 0;
    if (!host.refused())
        return Say::fail(host.error());
    if (!o.backup.isEmpty())
        return Say::fail(
            QStringLiteral("read-out protection is active: the bootloader refuses to read "
                           "(%1), so --backup cannot save the flash, and removing the "
                           "protection erases all of it; nothing was changed")
                .arg(host.error()));
    if (!o.unprotect || o.dryRun)
        return Say::fail(
            QStringLiteral("read-out protection is active: the bootloader refuses to read "
                           "(%1). stm-flash --unprotect removes it, and the chip then "
                           "erases its whole flash")
                .arg(host.error()));
    Say::out(QStringLiteral("removing the read-out protection: the chip erases its whole flash\n"));
    if (!host.readoutUnprotect())
        return Say::fail(host.error());
    *retryAfterUnprotect = true;
    // The chip erases after its acknowledges and then restarts by itself; a reset would cut the
    // erase short, so its bootloader is awaited instead.
    if (!host.awaitSync(host.timeouts().massEraseMs))
        return Say::fail(host.error() +
                         QStringLiteral(" after the protection's removal: the chip "
                                        "may still be erasing; run stm-flash again"));
    return 0;
}

}  // namespace StmFlash
