#pragma once
// How much of the host's audio a shield's queue holds, decided cycle by cycle: the delay stays
// near the least that the host's own pace allows, and a hard bound caps it whatever that pace.
//
// The pace is read from the queue itself. Once a cycle, as the shield takes its block, the depth
// is noted; the least depth of about the last second is what the host's pace never needed. A
// steady host leaves one block there (the one it just sent), a host that sends in chunks one
// (just before its next chunk), a slow host none. Whatever stood above one block for a whole
// second is surplus (a burst, a pre-buffer, a host faster than the bus): it goes oldest first, one
// block at a time spread over about half a second and never in two cycles running, so the
// listener hears a few 16 ms skips instead of a gap, and the delay comes back down. A block let
// go counts as gone from every depth noted before it, so no surplus is let go twice.
// A host whose clock runs fast (or a full bus) gains a block every second or so; the longer the
// window, the more it gains before the window shows it. So each block let go as surplus shortens
// the window a little, down to half a second, and a cycle with nothing to play (the host's pace
// did need all it had) makes it whole again.
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
    static constexpr int floorKept = 1;      // least depth that is not surplus
    static constexpr int spanCycles = 8;     // the window's least depth is kept per span
    static constexpr int spans = 8;          // so the window is 64 cycles, about a second
    static constexpr int leastSpans = 4;     // or 32 while the host only ever runs ahead
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
    // Blocks waiting beyond what the host's pace needed over the window (0 or less: none).
    int surplus() const;

private:
    qint64 gone = 0;  // blocks let go since reset(); depths are noted with it added
    std::array<qint64, spans> spanLeast{};
    qint64 currentLeast = 0;  // of the span being filled
    int spanIndex = 0;
    int spanFill = 0;
    int windowSpans = spans;  // spans the window looks back
    int sinceLetGo = 0;       // cycles since the last block went, up to spreadCycles
    int episodeSurplus = 0;   // the largest surplus since it last was none
    int gap = leastGap;       // cycles between blocks let go while that surplus lasts
};
