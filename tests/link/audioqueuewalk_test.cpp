// Random walks of a host against a shield's audio queue: blocks arrive in runs of any length,
// cycles take them in runs of any length, calls end. Whatever the walk, the blocks the shield
// plays leave in the order they came and never twice; every block is played, let go or still
// waiting (or emptied at the end of its call); no more than the hard bound ever waits; a cycle
// with a block waiting plays one; and the jitter buffer never lets go in two cycles running.

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

rc::Gen<Step> stepGen()
{
    return rc::gen::apply(
        [](Step::Kind kind, int count) {
            return Step{kind, kind == Step::Blocks ? count % 30 : count};
        },
        rc::gen::weightedElement<Step::Kind>(
            {{10, Step::Blocks}, {10, Step::Cycles}, {1, Step::EndCall}}),
        rc::gen::inRange(1, 90));
}

}  // namespace

RC_GTEST_PROP(AudioQueueWalk, BlocksLeaveInOrderOnceAndTheDelayStaysUnderTheBound, ())
{
    const auto steps = *rc::gen::container<std::vector<Step>>(stepGen());
    LinkCounters counters;
    AudioQueue queue(&counters);
    quint32 sent = 0;
    quint64 played = 0;
    quint64 emptied = 0;
    qint64 lastPlayed = -1;
    bool wentLastCycle = false;
    for (const Step &step : steps) {
        switch (step.kind) {
        case Step::Blocks:
            for (int i = 0; i < step.count; ++i) {
                QByteArray packet(Frame::longSize, '\0');
                std::memcpy(packet.data() + Frame::audioOffset, &sent, sizeof sent);
                ++sent;
                queue.push(packet);
                RC_ASSERT(queue.size() <= JitterBuffer::hardLimit);
                RC_ASSERT(counters.audio_delay_ms.load() <= 200u);
            }
            break;
        case Step::Cycles:
            for (int i = 0; i < step.count; ++i) {
                const int waiting = queue.size();
                const quint64 before = queue.letGo();
                QByteArray packet;
                const bool took = queue.takeCycle(&packet);
                const quint64 went = queue.letGo() - before;
                RC_ASSERT(went <= 1u);
                RC_ASSERT(!(went && wentLastCycle));
                wentLastCycle = went != 0;
                RC_ASSERT(took == (waiting > 0));
                if (took) {
                    quint32 n = 0;
                    std::memcpy(&n, packet.constData() + Frame::audioOffset, sizeof n);
                    RC_ASSERT(qint64(n) > lastPlayed);
                    lastPlayed = n;
                    ++played;
                }
            }
            break;
        case Step::EndCall:
            emptied += static_cast<quint64>(queue.size());
            queue.endCall();
            break;
        }
        RC_ASSERT(played + queue.letGo() + emptied + static_cast<quint64>(queue.size()) == sent);
        RC_ASSERT(counters.audio_delay_ms.load() == quint32(queue.size() * JitterBuffer::blockMs));
    }
    RC_ASSERT(LinkCounters::read(counters.audio_dropped) == queue.letGo());
}
