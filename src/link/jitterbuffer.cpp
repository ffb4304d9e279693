#include "link/jitterbuffer.h"

#include <algorithm>
#include <limits>

namespace {

constexpr qint64 unseen = std::numeric_limits<qint64>::max();

}  // namespace

void JitterBuffer::reset()
{
    gone = 0;
    forget();
    baseline = floorKept;  // as the call starts, a steady host's block waits, and no more
    window = leastSpans;
    heard = false;
    sinceLetGo = spreadCycles;
    episodeSurplus = 0;
}

void JitterBuffer::forget()
{
    spanLeast.fill(unseen);
    currentLeast = unseen;
    spanIndex = 0;
    spanFill = 0;
    age = 0;
    baseline = unseen;
}

int JitterBuffer::arrived(int depth)
{
    const int over = std::max(0, depth - hardLimit);
    gone += over;
    return over;
}

qint64 JitterBuffer::spanBack(int k) const
{
    return k == 0 ? currentLeast : spanLeast[static_cast<size_t>((spanIndex + spans - k) % spans)];
}

JitterBuffer::Lead JitterBuffer::lead() const
{
    qint64 recent = unseen, old = unseen;
    for (int k = 0; k <= leadSpans; ++k)
        recent = std::min(recent, spanBack(k));
    for (int k = riseSpans; k <= spans; ++k)
        old = std::min(old, spanBack(k));
    // Both leasts are the oldest depths of their windows when the host keeps running ahead. Until
    // the old window is seen, the call's start stands for it, or after the queue ran dry, the
    // first span after: a host short of a block once (a late chunk) has one more waiting from
    // then on, which is no lead.
    if (old == unseen)
        old = baseline;
    if (recent == unseen || old == unseen)
        return {0, spanCycles};
    return {recent - old, std::max(spanCycles, age - (leadSpans + 1) * spanCycles)};
}

int JitterBuffer::surplus(const Lead &ahead) const
{
    // While the host keeps running ahead, each depth noted is carried forward by what the host
    // gained since, or the least of the window would lag the host by the window's length.
    const bool running = ahead.blocks >= leastRise;
    qint64 floor = unseen;
    for (int k = 0; k <= window; ++k) {
        if (const qint64 least = spanBack(k); least != unseen)
            floor = std::min(floor,
                             least + (running ? ahead.blocks * k * spanCycles / ahead.cycles : 0));
    }
    const int kept = running ? floorKept : floorKept + 1;
    return static_cast<int>(std::max<qint64>(floor - gone, -hardLimit) - kept);
}

int JitterBuffer::cycle(int depth)
{
    if (depth > 0) {
        currentLeast = std::min(currentLeast, depth + gone);
        heard = true;
    } else if (heard) {
        // The host's pace needed all it had: whatever it gained before (a fast stretch before a
        // pause) is no lead now, and the window takes a second again. An empty queue is no depth
        // to read a later lead against: it is not noted, nor is one before the host's first block.
        forget();
        window = windowSpans;
    }
    if (heard)
        age = std::min(age + 1, spans * spanCycles);
    int letGo = 0;
    // Nothing is surplus in a cycle with nothing to play, nor before the depths of a whole window
    // are seen (from the host's first block, or since the queue last ran dry). At most
    // depth - floorKept: the block to play always stays.
    Lead ahead{0, spanCycles};
    int now = 0;
    if (depth > 0 && age > leastSpans * spanCycles) {
        ahead = lead();
        now = surplus(ahead);
    }
    if (now <= 0) {
        episodeSurplus = 0;
    } else {
        // The pace is set by the largest surplus of the episode, or it would slow down as the
        // surplus shrinks and the last blocks would take many seconds to go; a host that keeps
        // running ahead sets it as fast as it runs.
        episodeSurplus = std::max(episodeSurplus, now);
        int gap = spreadCycles / episodeSurplus;
        if (ahead.blocks > 0)
            gap = static_cast<int>(std::min<qint64>(gap, ahead.cycles / ahead.blocks));
        if (sinceLetGo >= std::max(leastGap, gap)) {
            letGo = 1;
            ++gone;
            sinceLetGo = 0;
            window = std::max(leastSpans, window - 1);
        }
    }
    sinceLetGo = std::min(sinceLetGo + 1, spreadCycles);
    if (++spanFill == spanCycles) {
        if (baseline == unseen)
            baseline = currentLeast;
        spanLeast[static_cast<size_t>(spanIndex)] = currentLeast;
        spanIndex = (spanIndex + 1) % spans;
        spanFill = 0;
        currentLeast = unseen;
    }
    return letGo;
}
