#include "link/busbudget.h"

#include "link/frame.h"

BusBudget::BusBudget(quint32 clockHz, quint32 periodUs)
    : clockHz(clockHz > 0 ? clockHz : 1), periodUs(periodUs)
{}

quint64 BusBudget::busNs(quint64 bytes) const
{
    return bytes * 8 * 1000000000ULL / clockHz;
}

int BusBudget::longPacketsPerCycle() const
{
    return static_cast<int>(quint64(periodUs) * 1000 / busNs(Frame::longSize));
}

QString BusBudget::cycle(int longPackets, int shortFrames)
{
    const quint64 ns =
        busNs(quint64(longPackets) * Frame::longSize + quint64(shortFrames) * Frame::shortSize);
    const bool nowFull = ns > quint64(periodUs) * 1000;
    const bool became = nowFull && !full();
    isFull.store(nowFull, std::memory_order_relaxed);
    if (cyclesSinceLine < lineCycles)
        ++cyclesSinceLine;
    if (!became || cyclesSinceLine < lineCycles)
        return QString();
    cyclesSinceLine = 0;
    return QStringLiteral(
               "#WARNING: SPI bus full: %1 calls need %2 ms of bus in each %3 ms "
               "transfer cycle at %4 Hz, where %5 audio packets fit: the cycle runs "
               "long and every call's audio falls behind (-spi-hz sets a faster "
               "clock, if the shields take it)")
        .arg(longPackets)
        .arg(static_cast<double>(ns) / 1e6, 0, 'f', 2)
        .arg(static_cast<double>(periodUs) / 1000, 0, 'g', 6)
        .arg(clockHz)
        .arg(longPacketsPerCycle());
}
