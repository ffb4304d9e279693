#pragma once
// What happened on the link of one shield since the driver started, for the status socket. Each
// counter is raised where its event happens (transfer loop, UDP receiver) and read by the status
// server in the main thread; relaxed atomics, so counting costs the 16 ms cycle no lock and no
// allocation. Nothing resets them: a restart of the link or a lost shield keeps its history.
// They are 64-bit: at a frame every 16 ms, or at the host's audio rate, a 32-bit count would wrap
// within the years a driver may run. One figure is a level, not a count: `audio_delay_ms`.

#include <QtGlobal>

#include <atomic>

struct LinkCounters {
    using Count = std::atomic<quint64>;
    static void add(Count &counter, quint64 n = 1)
    {
        counter.fetch_add(n, std::memory_order_relaxed);
    }
    static quint64 read(const Count &counter) { return counter.load(std::memory_order_relaxed); }

    Count events{0};            // new events handed to the event parser
    Count commands{0};          // acknowledged commands the shield executed
    Count tx_errors{0};         // command repeats (no or a wrong reply)
    Count rx_errors{0};         // events the shield offered again
    Count exchanges{0};         // transfers with the shield, whatever came back
    Count frames{0};            // frames received (replies all 0 or all 1 are none)
    Count bad_frames{0};        // of those, dropped for their start byte or their CRC
    Count disconnects{0};       // times the shield dropped out of service
    Count audio_blocks_in{0};   // 512-byte blocks from the host queued for it
    Count audio_blocks_out{0};  // 512-byte blocks from it passed on to the host
    Count audio_dropped{0};     // host blocks let go: surplus, past the hard bound, or refused
    Count audio_underruns{0};   // cycles of a call with no host block ready (silence sent)
    std::atomic<quint32> audio_delay_ms{0};  // the host's audio waiting for it now
};
