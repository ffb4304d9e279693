// The host's audio on its way to a shield, against the host's pace: a steady host, one that sends
// in chunks or datagrams of any size, a burst, a host faster or slower than the bus, silence and a
// stop. A scripted clock plays the host's blocks into the queue and takes one per transfer cycle,
// as the transfer loop does; each row bounds how long the played blocks waited and how many went.

#include "link/audioqueue.h"
#include "link/frame.h"
#include "link/linkcounters.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

constexpr qint64 us = 1;
constexpr qint64 ms = 1000 * us;
constexpr qint64 runFor = 20000 * ms;

struct Row {
    const char *name;
    qint64 cycle;        // transfer cycle: 16 ms, longer on a full bus
    int datagram;        // bytes the host sends at once, at 32 bytes per ms of its own clock
    double hostSpeed;    // the host's clock against the driver's: 1.02 sends 2 % fast
    qint64 jitter;       // each datagram late by up to this much
    qint64 burstAt;      // 20 blocks more at once, at this time (0: none)
    qint64 silentFrom;   // nothing sent from here ...
    qint64 silentUntil;  // ... until here (runFor: the host stops)
    // Bounds: the longest wait of a played block from settledAt on, and the blocks let go.
    qint64 settledAt;
    qint64 maxWait;
    int minDropped;
    int maxDropped;
};

struct Outcome {
    qint64 maxWait = 0;
    int dropped = 0;
    int underruns = 0;
    int played = 0;
    int cycles = 0;
    int mostInOneCycle = 0;  // blocks let go in one cycle, with the arrivals before it
};

QByteArray numbered(quint32 n)
{
    QByteArray packet(Frame::longSize, '\0');
    std::memcpy(packet.data() + Frame::audioOffset, &n, sizeof n);
    return packet;
}

quint32 numberOf(const QByteArray &packet)
{
    quint32 n = 0;
    std::memcpy(&n, packet.constData() + Frame::audioOffset, sizeof n);
    return n;
}

// The times at which the host's blocks are whole in the driver, in order.
std::vector<qint64> hostBlocks(const Row &row)
{
    std::vector<qint64> at;
    const qint64 period = static_cast<qint64>(row.datagram * 1000 / 32 / row.hostSpeed);
    quint32 noise = 12345;
    qint64 bytes = 0;
    for (qint64 t = 5 * ms; t < runFor; t += period) {
        if (t >= row.silentFrom && t < row.silentUntil)
            continue;
        noise = noise * 1103515245u + 12345u;
        const qint64 late = row.jitter ? static_cast<qint64>((noise >> 8) % row.jitter) : 0;
        for (bytes += row.datagram; bytes >= 512; bytes -= 512)
            at.push_back(t + late);
    }
    if (row.burstAt)
        at.insert(std::upper_bound(at.begin(), at.end(), row.burstAt), 20, row.burstAt);
    std::sort(at.begin(), at.end());  // a late datagram is overtaken by none: its bytes wait
    return at;
}

Outcome play(const Row &row)
{
    LinkCounters counters;
    AudioQueue queue(&counters);
    const std::vector<qint64> arrivals = hostBlocks(row);
    Outcome out;
    size_t next = 0;
    quint32 lastPlayed = 0;
    for (qint64 now = 0; now < runFor; now += row.cycle, ++out.cycles) {
        const quint64 before = queue.letGo();
        for (; next < arrivals.size() && arrivals[next] <= now; ++next)
            queue.push(numbered(static_cast<quint32>(next)));
        QByteArray packet;
        if (queue.takeCycle(&packet)) {
            const quint32 n = numberOf(packet);
            EXPECT_TRUE(out.played == 0 || n > lastPlayed) << "block " << n << " at " << now;
            lastPlayed = n;
            ++out.played;
            if (now >= row.settledAt)
                out.maxWait = std::max(out.maxWait, now - arrivals[n]);
        }
        out.mostInOneCycle = std::max(out.mostInOneCycle, int(queue.letGo() - before));
        EXPECT_LE(counters.audio_delay_ms.load(), 200u);
    }
    out.dropped = static_cast<int>(LinkCounters::read(counters.audio_dropped));
    out.underruns = static_cast<int>(LinkCounters::read(counters.audio_underruns));
    EXPECT_EQ(out.dropped, static_cast<int>(queue.letGo()));
    EXPECT_EQ(static_cast<size_t>(out.played + out.dropped + queue.size()), next);
    return out;
}

TEST(AudioQueue, KeepsTheDelayNearWhatTheHostsPaceAllowsAndLetsGoOnlyItsSurplus)
{
    const qint64 bus = 16 * ms;
    const qint64 never = 0;
    // A 20 s run: a fast host sends 1 % more, a surplus of 12.5 blocks; 2 %, 25; a full bus
    // (six calls, 16.52 ms a cycle) leaves 3.25 % over, 39 blocks.
    const Row rows[] = {
        {"steady", bus, 512, 1.0, 0, never, never, never, 0, 16 * ms, 0, 0},
        {"steady, 4 ms of jitter", bus, 512, 1.0, 4 * ms, never, never, never, 0, 20 * ms, 0, 0},
        {"steady in 300-byte datagrams", bus, 300, 1.0, 0, never, never, never, 0, 32 * ms, 0, 0},
        {"steady in datagrams of ten blocks", bus, 5120, 1.0, 3 * ms, never, never, never, 0,
         176 * ms, 0, 0},
        {"chunks of four every 64 ms", bus, 2048, 1.0, 3 * ms, never, never, never, 0, 64 * ms, 0,
         0},
        {"a burst of 20", bus, 512, 1.0, 2 * ms, 5000 * ms, never, never, 7000 * ms, 48 * ms, 18,
         20},
        {"1 % fast", bus, 512, 1.01, 2 * ms, never, never, never, 0, 48 * ms, 9, 13},
        {"2 % fast", bus, 512, 1.02, 2 * ms, never, never, never, 0, 64 * ms, 21, 26},
        {"2 % fast in chunks of four", bus, 2048, 1.02, 2 * ms, never, never, never, 0, 96 * ms, 20,
         26},
        {"full bus", 16520 * us, 512, 1.0, 2 * ms, never, never, never, 0, 64 * ms, 34, 40},
        {"2 % slow", bus, 512, 0.98, 2 * ms, never, never, never, 0, 20 * ms, 0, 0},
        {"silent for a second", bus, 512, 1.0, 2 * ms, never, 3000 * ms, 4000 * ms, 0, 20 * ms, 0,
         0},
        {"stops", bus, 512, 1.0, 2 * ms, never, 3000 * ms, runFor, 0, 20 * ms, 0, 0},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const Outcome out = play(row);
        const int cycles = out.cycles;
        EXPECT_LE(out.maxWait, row.maxWait);
        EXPECT_GE(out.dropped, row.minDropped);
        EXPECT_LE(out.dropped, row.maxDropped);
        // Blocks go one at a time, spread out; only a burst past the hard bound goes at once.
        if (row.burstAt == 0) {
            EXPECT_LE(out.mostInOneCycle, 1);
        }
        // Every cycle plays a block or counts an underrun, and a host slower than the bus is
        // told by its underruns, never by a loss.
        EXPECT_EQ(out.played + out.underruns, cycles);
        if (row.hostSpeed < 1.0) {
            EXPECT_GE(out.underruns, cycles / 60);
        } else if (row.silentFrom == never) {
            // Only while the host's first blocks come together: nothing let go was needed.
            EXPECT_LE(out.underruns, 2);
        }
        if (row.silentUntil == runFor) {
            EXPECT_GE(out.underruns, cycles * 17 / 20);
        }
    }
}

TEST(AudioQueue, TheEndOfACallEmptiesItAndForgetsTheHostsPace)
{
    LinkCounters counters;
    AudioQueue queue(&counters);
    // A call whose host kept four blocks waiting for seconds: its surplus is being let go.
    for (quint32 n = 0; n < 300; ++n) {
        queue.push(numbered(n));
        queue.takeCycle();
        if (n == 0) {
            for (quint32 k = 1000; k < 1003; ++k)
                queue.push(numbered(k));
        }
    }
    EXPECT_GT(queue.letGo(), 0u);
    EXPECT_EQ(counters.audio_delay_ms.load(), quint32(queue.size() * 16));

    queue.endCall();
    EXPECT_EQ(queue.size(), 0);
    EXPECT_EQ(counters.audio_delay_ms.load(), 0u);
    // The next call starts with a pre-buffer of four: nothing goes in its first second.
    const quint64 before = queue.letGo();
    for (quint32 k = 0; k < 4; ++k)
        queue.push(numbered(k));
    for (quint32 n = 4; n < 60; ++n) {
        queue.push(numbered(n));
        QByteArray packet;
        ASSERT_TRUE(queue.takeCycle(&packet));
        EXPECT_EQ(numberOf(packet), n - 4);
    }
    EXPECT_EQ(queue.letGo(), before);
    EXPECT_EQ(counters.audio_delay_ms.load(), 64u);
}

}  // namespace
