// Random walks of a host against a shield's audio queue: runs of blocks, runs of cycles, ends of
// calls. The blocks played leave in the order they came and never twice; each is played, let go,
// waiting or emptied with its call; no more than the hard bound waits; a cycle with a block
// waiting plays one; no two cycles running let one go, and none in a call's first second.

#include "link/audioqueue.h"
#include "link/frame.h"
#include "link/linkcounters.h"

#include <gtest/gtest.h>
#include <rapidcheck/gtest.h>

#include <cstring>
#include <ostream>
#include <vector>

namespace {

struct Step {
    enum Kind { Blocks, Cycles, EndCall } kind;
    int count;
};

void showValue(const Step &step, std::ostream &os)
{
    static const char *const names[] = {"blocks arrive", "cycles", "the call ends"};
    os << step.count << ' ' << names[step.kind];
}

}  // namespace

RC_GTEST_PROP(AudioQueueWalk, BlocksLeaveInOrderOnceAndTheDelayStaysUnderTheBound, ())
{
    const auto steps = *rc::gen::container<std::vector<Step>>(rc::gen::apply(
        [](Step::Kind kind, int count) {
            return Step{kind, kind == Step::Blocks ? count % 30 : count};
        },
        rc::gen::weightedElement<Step::Kind>(
            {{10, Step::Blocks}, {10, Step::Cycles}, {1, Step::EndCall}}),
        rc::gen::inRange(1, 90)));
    LinkCounters counters;
    AudioQueue queue(&counters);
    quint32 sent = 0;
    quint64 played = 0, emptied = 0;
    qint64 lastPlayed = -1;
    bool wentLastCycle = false;
    int callCycles = 0;
    for (const Step &step : steps) {
        for (int i = 0; i < step.count && step.kind == Step::Blocks; ++i) {
            QByteArray packet(Frame::longSize, '\0');
            std::memcpy(packet.data() + Frame::audioOffset, &sent, sizeof sent);
            ++sent;
            queue.push(packet);
            RC_ASSERT(counters.audio_delay_ms.load() <= 200u);
        }
        for (int i = 0; i < step.count && step.kind == Step::Cycles; ++i, ++callCycles) {
            const int waiting = queue.size();
            const quint64 before = queue.letGo();
            QByteArray packet;
            RC_ASSERT(queue.takeCycle(&packet) == (waiting > 0));
            const quint64 went = queue.letGo() - before;
            RC_ASSERT(went <= (callCycles < 64 || wentLastCycle ? 0u : 1u));
            wentLastCycle = went != 0;
            if (waiting > 0) {
                quint32 n = 0;
                std::memcpy(&n, packet.constData() + Frame::audioOffset, sizeof n);
                RC_ASSERT(qint64(n) > lastPlayed);
                lastPlayed = n;
                ++played;
            }
        }
        if (step.kind == Step::EndCall) {
            emptied += quint64(queue.size());
            queue.endCall();
            callCycles = 0;
        }
        RC_ASSERT(played + queue.letGo() + emptied + quint64(queue.size()) == sent);
        RC_ASSERT(counters.audio_delay_ms.load() == quint32(queue.size() * 16));
    }
    RC_ASSERT(LinkCounters::read(counters.audio_dropped) == queue.letGo());
}
