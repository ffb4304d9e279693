// Random walks of a host against a shield's audio queue: runs of blocks, runs of cycles, ends of
// calls. The blocks played leave in the order they came and never twice; each is played, let go,
// waiting or emptied with its call; no more than the hard bound waits; a cycle with a block
// waiting plays one; no two cycles running let one go, and none in a call's first half second.

#include "link/audioqueue.h"
#include "link/frame.h"
#include "link/linkcounters.h"

#include <gtest/gtest.h>
#include <rapidcheck/gtest.h>

#include <cstring>
#include <ostream>
#include <vector>

namespace {

// Blocks arrive, then cycles run: a few of each, so that blocks wait for long stretches, and now
// and then a lump past the hard bound.
struct Step {
    int blocks;
    int cycles;
    bool endCall;
};

void showValue(const Step &step, std::ostream &os)
{
    os << step.blocks << " blocks, " << step.cycles << " cycles" << (step.endCall ? ", end" : "");
}

}  // namespace

RC_GTEST_PROP(AudioQueueWalk, BlocksLeaveInOrderOnceAndTheDelayStaysUnderTheBound, ())
{
    const auto steps = *rc::gen::container<std::vector<Step>>(rc::gen::apply(
        [](int blocks, int cycles, int end) {
            return Step{blocks < 16 ? blocks % 4 : blocks - 4, cycles, end == 0};
        },
        rc::gen::inRange(0, 20), rc::gen::inRange(0, 8), rc::gen::inRange(0, 60)));
    LinkCounters counters;
    AudioQueue queue(&counters);
    quint32 sent = 0;
    quint64 played = 0, emptied = 0;
    qint64 lastPlayed = -1;
    bool wentLastCycle = false;
    int callCycles = 0;
    for (const Step &step : steps) {
        for (int i = 0; i < step.blocks; ++i) {
            QByteArray packet(Frame::longSize, '\0');
            std::memcpy(packet.data() + Frame::audioOffset, &sent, sizeof sent);
            ++sent;
            queue.push(packet);
            RC_ASSERT(counters.audio_delay_ms.load() <= 200u);
        }
        for (int i = 0; i < step.cycles; ++i, ++callCycles) {
            const int waiting = queue.size();
            const quint64 before = queue.letGo();
            QByteArray packet;
            RC_ASSERT(queue.takeCycle(&packet) == (waiting > 0));
            const quint64 went = queue.letGo() - before;
            RC_ASSERT(went <= (callCycles < JitterBuffer::leastSpans * JitterBuffer::spanCycles ||
                                       wentLastCycle
                                   ? 0u
                                   : 1u));
            wentLastCycle = went != 0;
            if (waiting > 0) {
                quint32 n = 0;
                std::memcpy(&n, packet.constData() + Frame::audioOffset, sizeof n);
                RC_ASSERT(qint64(n) > lastPlayed);
                lastPlayed = n;
                ++played;
            }
        }
        if (step.endCall) {
            emptied += quint64(queue.size());
            queue.endCall();
            callCycles = 0;
        }
        RC_ASSERT(played + queue.letGo() + emptied + quint64(queue.size()) == sent);
        RC_ASSERT(counters.audio_delay_ms.load() == quint32(queue.size() * 16));
    }
    RC_ASSERT(LinkCounters::read(counters.audio_dropped) == queue.letGo());
}
