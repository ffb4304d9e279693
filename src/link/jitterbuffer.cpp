#include "link/jitterbuffer.h"

#include <algorithm>
#include <limits>

namespace {

constexpr qint64 unseen = std::numeric_limits<qint64>::max();

}  // namespace

void JitterBuffer::reset()
{
    gone = 0;
    spanLeast.fill(0);  // as if the queue had been empty: no surplus before a window is seen
    currentLeast = unseen;
    spanIndex = 0;
    spanFill = 0;
    windowSpans = spans;
    sinceLetGo = spreadCycles;
    episodeSurplus = 0;
    gap = leastGap;
}

int JitterBuffer::arrived(int depth)
{
    const int over = std::max(0, depth - hardLimit);
    gone += over;
    return over;
}

int JitterBuffer::surplus() const
{
    qint64 least = currentLeast;
    for (int k = 1; k <= windowSpans; ++k)
        least = std::min(least, spanLeast[static_cast<size_t>((spanIndex + spans - k) % spans)]);
    return static_cast<int>(std::max<qint64>(least - gone, -hardLimit)) - floorKept;
}

int JitterBuffer::cycle(int depth)
{
    currentLeast = std::min(currentLeast, depth + gone);
    if (depth == 0)
        windowSpans = spans;
    int letGo = 0;
    const int now = surplus();  // at most depth - floorKept: the block to play always stays
    if (now <= 0) {
        episodeSurplus = 0;
    } else {
        if (now > episodeSurplus) {
            // The pace is set by the largest surplus of the episode, or it would slow down as
            // the surplus shrinks and the last blocks would take many seconds to go.
            episodeSurplus = now;
            gap = std::max(leastGap, spreadCycles / now);
        }
        if (sinceLetGo >= gap) {
            letGo = 1;
            ++gone;
            sinceLetGo = 0;
            windowSpans = std::max(leastSpans, windowSpans - 1);
        }
    }
    sinceLetGo = std::min(sinceLetGo + 1, spreadCycles);
    if (++spanFill == spanCycles) {
        spanLeast[static_cast<size_t>(spanIndex)] = currentLeast;
        spanIndex = (spanIndex + 1) % spans;
        spanFill = 0;
        currentLeast = unseen;
    }
    return letGo;
}
