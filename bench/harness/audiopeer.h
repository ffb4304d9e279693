#pragma once
// The host's side of the audio: a sender thread that plays numbered 512-byte blocks into the
// driver's UDP ports at a pace it is given (the nominal one block per 16 ms, a host a little fast,
// chunks of several blocks, a burst; on absolute deadlines), and a receiver thread that takes the
// driver's datagrams on the host ports. Both stamp every block with the steady clock. Owned by the
// harness's main thread; the stamps of each thread are read only after that thread has been
// stopped.

#include "harness/analysis.h"

#include <atomic>
#include <thread>
#include <vector>

namespace Bench {

// How the host sends: every periodNs, one datagram of blocksPerSend blocks to each of the first
// `shields` shields; once, at the first send burstAfterNs or more after the start, burstBlocks
// more blocks to each, one datagram each, at once.
struct Pace {
    int shields = 6;
    int64_t periodNs = 16000000;
    int blocksPerSend = 1;
    int burstBlocks = 0;
    int64_t burstAfterNs = 0;
};

class AudioPeer
{
public:
    static constexpr int shields = 6;
    static constexpr int hostPortBase = 20002;    // shield i: driver sends to 20002 + 2i
    static constexpr int driverPortBase = 20003;  // shield i: driver listens on 20003 + 2i

    AudioPeer() = default;
    ~AudioPeer();
    AudioPeer(const AudioPeer &) = delete;
    AudioPeer &operator=(const AudioPeer &) = delete;

    // Binds the six host ports; false (with errno set, nothing bound) when one is taken.
    bool listen();
    void startReceiving();
    void stopReceiving();
    // Sends from now on at `pace`. The sequence numbers go on from the last stretch's, so that
    // the blocks of every stretch stay apart.
    void startSending(const Pace &pace);
    void stopSending();
    int64_t burstSentNs() const { return burstNs; }  // of the last stretch; 0 without a burst

    const std::vector<Stamp> &sent() const { return sentStamps; }
    const std::vector<Stamp> &received() const { return receivedStamps; }
    size_t foreignDatagrams() const { return foreign; }

private:
    void sendLoop(Pace pace);
    bool sendBlocks(int fd, int shield, uint32_t first, int blocks);
    void receiveLoop();

    int receivers[shields] = {-1, -1, -1, -1, -1, -1};
    std::atomic<bool> sending{false}, receiving{false};
    std::thread sender, receiver;
    std::vector<Stamp> sentStamps;      // sender thread while it runs
    uint32_t nextSeq = 0;               // sender thread while it runs
    int64_t burstNs = 0;                // sender thread while it runs
    std::vector<Stamp> receivedStamps;  // receiver thread while it runs
    size_t foreign = 0;                 // receiver thread: datagrams without a test block head
};

}  // namespace Bench
