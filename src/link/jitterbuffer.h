#pragma once
// How much of the host's audio a shield's queue holds, decided cycle by cycle: the delay stays
// near the least that the host's own pace allows, and a hard bound caps it whatever that pace.
//
// The pace is read from the queue itself. Once a cycle, as the shield takes its block, the depth
// is noted; the least depth of the last half second to second is what the host's pace never
// needed. A steady host leaves one block there (the one it just sent), a host that sends in
// chunks one (just before its next chunk), a slow host none. A block let go counts as gone from
// every depth noted before it, so no surplus is let go twice, and the least depths of two moments
// differ by what the host sent beyond what the shield took in between: their rise over the last
// few seconds tells a host that keeps running ahead (a fast clock, a full bus) from one that ran
// ahead once (a late chunk, a cycle the bus could not keep).
//
// What stood above two blocks for the whole window is surplus (a burst, a pre-buffer); so is
// what stood above one while the host keeps running ahead. A single block more is kept when the
// host ran ahead only once: 16 ms longer is better than a skip nobody needed. The surplus goes
// oldest first, one block at a time, never in two cycles running: spread over about half a
// second, or as fast as the host runs ahead if that is faster, so the listener hears a few
// 16 ms skips instead of a gap and the delay does not creep up. A host that keeps running ahead
// gains a block every second or so; the longer the window, the more it gains before the window
// shows it, so while it keeps running ahead each depth noted is carried forward by its lead
// since. A call starts with a window of half a second; a cycle with nothing to play (the host's
// pace did need all it had) makes it a second and forgets the host's lead before it, and each
// block let go shortens the window a little again.
//
// Plain logic over counts: no clock of its own (one cycle() is one transfer cycle), no lock, no
// allocation. Its owner, the shield's AudioQueue, calls it under the queue's mutex.

#include <QtGlobal>

#include <array>

class JitterBuffer
{
public:
    static constexpr int blockMs = 16;       // audio in one block, played in one cycle
    static constexpr int hardLimit = 12;     // blocks queued at most: 192 ms of audio
    static constexpr int floorKept = 1;      // least depth that is never surplus
    static constexpr int spanCycles = 8;     // the least depth is kept per span of cycles
    static constexpr int windowSpans = 8;    // the window: 64 cycles, about a second, at most
    static constexpr int leastSpans = 4;     // and 32 at least (and at the call's start)
    static constexpr int spans = 32;         // spans remembered: about four seconds
    static constexpr int leadSpans = 1;      // the host's lead: the last spans (8 to 16 cycles)
    static constexpr int riseSpans = 24;     // against 24 to 32 spans ago
    static constexpr int leastRise = 2;      // blocks of lead that make a host running ahead
    static constexpr int spreadCycles = 32;  // a surplus goes within about half a second
    static constexpr int leastGap = 2;       // cycles from one block let go to the next

    JitterBuffer() { reset(); }

    // A new call: nothing is known of the host yet, so nothing counts as surplus for a window.
    void reset();
    // A block was queued and `depth` blocks wait now: how many of the oldest to let go, so that
    // no more than hardLimit wait.
    int arrived(int depth);
    // One cycle of a call, `depth` blocks waiting as the shield takes one: how many of the oldest
    // to let go first, 0 or 1 (never the last one waiting).
    int cycle(int depth);

private:
    // The depths noted so far, the host's lead with them: as at a call's start.
    void forget();
    // What the host sent beyond what the shield took, over about the last few seconds.
    struct Lead {
        qint64 blocks;
        int cycles;
    };
    // The least depth noted in the span `k` spans before the current one (0: the current one,
    // while it fills).
    qint64 spanBack(int k) const;
    Lead lead() const;
    // Blocks waiting beyond what the host's pace needed over the window (0 or less: none), with
    // the host's lead of this cycle; asked only once a whole window is seen.
    int surplus(const Lead &ahead) const;

    qint64 gone = 0;  // blocks let go since reset(); depths are noted with it added
    std::array<qint64, spans> spanLeast{};
    qint64 currentLeast = 0;  // of the span being filled
    int spanIndex = 0;
    int spanFill = 0;
    qint64 baseline = 0;      // the least of the first span after forget()
    int window = leastSpans;  // spans the window looks back
    int age = 0;  // cycles since the host's first block or forget(), up to the spans remembered
    bool heard = false;      // a block came in this call
    int sinceLetGo = 0;      // cycles since the last block went, up to spreadCycles
    int episodeSurplus = 0;  // the largest surplus since it last was none
};
