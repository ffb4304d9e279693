#include "link/callledger.h"

#include "base/console.h"
#include "config/settings.h"

#include <mutex>

namespace {

const char *const dropText = "drop";

}  // namespace

bool CallLedger::inService(quint8 shield) const
{
    const ShieldState &record = settings->shieldState[shield];
    return record.getState() == ShieldState::STATE_ONLINE && !record.lostInit;
}

void CallLedger::open(quint8 shield, const QString &text)
{
    if (shield >= maxShields)
        return;
    around(shield, false);
    {
        std::lock_guard<PiMutex> lock(mutex);
        calls[shield] = true;
        Console::out.line(settings->addressPrefix(shield) + text);
    }
    around(shield, true);
}

bool CallLedger::hostOpen(quint8 shield)
{
    return hostStep(shield, true);
}

bool CallLedger::hostDrop(quint8 shield)
{
    return hostStep(shield, false);
}

bool CallLedger::hostStep(quint8 shield, bool open)
{
    if (shield >= maxShields)
        return false;
    around(shield, false);
    bool taken = false;
    {
        std::lock_guard<PiMutex> lock(mutex);
        taken = inService(shield);
        if (taken)
            calls[shield] = open;
    }
    around(shield, true);
    return taken;
}

bool CallLedger::close(quint8 shield, const QStringList &before, Drop drop)
{
    if (shield >= maxShields)
        return false;
    around(shield, false);
    bool wasOpen = false;
    {
        std::lock_guard<PiMutex> lock(mutex);
        wasOpen = calls[shield];
        calls[shield] = false;
        QStringList lines = before;
        if (wasOpen || drop == Drop::Always)
            lines << settings->addressPrefix(shield) + QLatin1String(dropText);
        if (!lines.isEmpty())
            Console::out.lines(lines);
    }
    around(shield, true);
    return wasOpen;
}
