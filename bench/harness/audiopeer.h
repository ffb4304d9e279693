#pragma once
// The host's side of the audio: a sender thread that plays one numbered 512-byte block per shield
// into the driver's UDP ports at the nominal pace (one block per 16 ms, on absolute deadlines),
// and a receiver thread that takes the driver's datagrams on the host ports. Both stamp every
// block with the steady clock. Owned by the harness's main thread; the stamps of each thread are
// read only after that thread has been stopped.

#include "harness/analysis.h"

#include <atomic>
#include <thread>
#include <vector>

namespace Bench {

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
    // Sends to every shield from now on, one block each per periodNs.
    void startSending(int64_t periodNs);
    void stopSending();

    const std::vector<Stamp> &sent() const { return sentStamps; }
    const std::vector<Stamp> &received() const { return receivedStamps; }
    size_t foreignDatagrams() const { return foreign; }

private:
    void sendLoop(int64_t periodNs);
    void receiveLoop();

    int receivers[shields] = {-1, -1, -1, -1, -1, -1};
    std::atomic<bool> sending{false}, receiving{false};
    std::thread sender, receiver;
    std::vector<Stamp> sentStamps;      // sender thread while it runs
    std::vector<Stamp> receivedStamps;  // receiver thread while it runs
    size_t foreign = 0;                 // receiver thread: datagrams without a test block head
};

}  // namespace Bench
