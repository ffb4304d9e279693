#pragma once
// What happened on the link of one shield since the driver started, for the status socket. Each
// counter is raised where its event happens (transfer loop, UDP receiver) and read by the status
// server in the main thread; relaxed atomics, so counting costs the 16 ms cycle no lock and no
// allocation. Nothing resets them: a restart of the link or a lost shield keeps its history.

#include <QtGlobal>

#include <atomic>

struct LinkCounters {
    static void add(std::atomic<quint32> &counter, quint32 n = 1)
    {
        counter.fetch_add(n, std::memory_order_relaxed);
    }
    static quint32 read(const std::atomic<quint32> &counter)
    {
        return counter.load(std::memory_order_relaxed);
    }

    std::atomic<quint32> events{0};            // new events handed to the event parser
    std::atomic<quint32> commands{0};          // acknowledged commands the shield executed
    std::atomic<quint32> tx_errors{0};         // command repeats (no or a wrong reply)
    std::atomic<quint32> rx_errors{0};         // events the shield offered again
    std::atomic<quint32> disconnects{0};       // times the shield dropped out of service
    std::atomic<quint32> audio_blocks_in{0};   // 512-byte blocks from the host queued for it
    std::atomic<quint32> audio_blocks_out{0};  // 512-byte blocks from it passed on to the host
    std::atomic<quint32> audio_dropped{0};     // host blocks dropped on a full audio queue
};
