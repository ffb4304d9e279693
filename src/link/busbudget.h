#pragma once
// How much of the transfer cycle the shield bus itself takes: the bytes of a cycle's exchanges
// need bytes x 8 / clock on the wire. At 1,562,500 Hz an audio packet (528 bytes) takes 2.70 ms,
// so six calls need 16.22 ms of every 16 ms cycle: the cycle runs long, and each shield then
// gets fewer than one block every 16 ms whatever the host sends. The transfer thread hands it
// each cycle's exchanges; full() may be read from any thread.

#include <QString>
#include <QtGlobal>

#include <atomic>

class BusBudget
{
public:
    // At most one line on standard error per this many cycles (5 s at 16 ms): a call that comes
    // and goes on a full bus is told once, not with every cycle.
    static constexpr quint32 lineCycles = 312;

    BusBudget(quint32 clockHz, quint32 periodUs);

    void setPeriodUs(quint32 us) { periodUs = us; }
    // The time `bytes` take on the bus, in nanoseconds.
    quint64 busNs(quint64 bytes) const;
    // How many audio packets fit one cycle at this clock.
    int longPacketsPerCycle() const;

    // One cycle's exchanges as the link records stand after it (the size each shield is served
    // with from now on): `longPackets` audio packets and `shortFrames` short frames. Returns the
    // line due now (the bus has just become full and none was written for lineCycles cycles),
    // else an empty text. Transfer thread.
    QString cycle(int longPackets, int shortFrames);

    // Whether the exchanges of the last cycle need more bus time than the period.
    bool full() const { return isFull.load(std::memory_order_relaxed); }

private:
    const quint32 clockHz;
    quint32 periodUs;
    quint32 cyclesSinceLine = lineCycles;  // transfer thread
    std::atomic<bool> isFull{false};
};
