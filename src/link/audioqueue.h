#pragma once
// The host's audio for one shield: 528-byte long packets, oldest first, and the jitter buffer
// that decides which of them the shield plays. The UDP receiver pushes and ends the call (main
// thread); the transfer thread takes one packet in every cycle of a call. Each operation holds
// `mutex` for its list operations only and takes no other lock inside it. The figures go to the
// link record's counters: every block let go, every cycle with none ready, the audio waiting.

#include "link/datatransmission.h"
#include "link/jitterbuffer.h"

#include <atomic>

struct LinkCounters;

class AudioQueue : public DataTransmission
{
public:
    // counters: the link record's, not owned.
    explicit AudioQueue(LinkCounters *counters) : counters(counters) {}

    // Queues a copy of a packet; beyond the hard bound the oldest go. Returns how many went.
    int push(const QByteArray &packet);
    // One cycle of a call: lets the oldest packet go when the host sent a surplus, then moves
    // the first into `buffer` and, when packet is given, copies it there. False, with `buffer`
    // untouched, when none is ready (an underrun: the shield gets the silence filler).
    bool takeCycle(QByteArray *packet = nullptr);
    // The call is over: the queue is emptied (`buffer` stays) and the host's pace forgotten.
    void endCall();
    // Blocks let go since the driver started, for either reason.
    quint64 letGo() const { return gone.load(std::memory_order_relaxed); }

private:
    // Under `mutex`: the n oldest go, counted; the waiting audio is told.
    void dropOldest(int n);
    void showDelay();

    JitterBuffer jitter;  // guarded by mutex
    LinkCounters *counters;
    std::atomic<quint64> gone{0};
};
