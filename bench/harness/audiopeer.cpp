#include "harness/audiopeer.h"

#include "harness/child.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace Bench {

namespace {

sockaddr_in loopback(int port)
{
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

}  // namespace

AudioPeer::~AudioPeer()
{
    stopSending();
    stopReceiving();
    for (int fd : receivers) {
        if (fd >= 0)
            ::close(fd);
    }
}

bool AudioPeer::listen()
{
    // A failed attempt leaves nothing bound, so that it can be tried again.
    const auto release = [this] {
        const int error = errno;
        for (int &fd : receivers) {
            if (fd >= 0)
                ::close(fd);
            fd = -1;
        }
        errno = error;
        return false;
    };
    for (int i = 0; i < shields; ++i) {
        receivers[i] = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (receivers[i] < 0)
            return release();
        const int size = 4 << 20;  // a stall of the harness must not lose the driver's datagrams
        ::setsockopt(receivers[i], SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        const sockaddr_in address = loopback(hostPortBase + 2 * i);
        if (::bind(receivers[i], reinterpret_cast<const sockaddr *>(&address), sizeof address) < 0)
            return release();
    }
    return true;
}

void AudioPeer::startReceiving()
{
    receiving = true;
    receiver = std::thread(&AudioPeer::receiveLoop, this);
}

void AudioPeer::stopReceiving()
{
    receiving = false;
    if (receiver.joinable())
        receiver.join();
}

void AudioPeer::receiveLoop()
{
    becomeRealTime();
    pollfd watched[shields];
    for (int i = 0; i < shields; ++i)
        watched[i] = {receivers[i], POLLIN, 0};
    uint8_t block[2048];
    while (receiving) {
        if (::poll(watched, shields, 50) <= 0)
            continue;
        for (int i = 0; i < shields; ++i) {
            if (!(watched[i].revents & POLLIN))
                continue;
            for (;;) {
                const ssize_t n = ::recv(receivers[i], block, sizeof block, MSG_DONTWAIT);
                if (n < 0)
                    break;
                const int64_t at = nowNs();
                int shield = -1;
                uint32_t seq = 0;
                if (n >= 8 && readAudioHead(block, &shield, &seq) && shield == i)
                    receivedStamps.push_back({at, shield, seq});
                else
                    ++foreign;
            }
        }
    }
}

void AudioPeer::startSending(const Pace &pace)
{
    sending = true;
    burstNs = 0;
    sender = std::thread(&AudioPeer::sendLoop, this, pace);
}

void AudioPeer::stopSending()
{
    sending = false;
    if (sender.joinable())
        sender.join();
}

// One datagram of `blocks` numbered blocks of silence, each with its head; every block stamped.
bool AudioPeer::sendBlocks(int fd, int shield, uint32_t first, int blocks)
{
    static constexpr int most = 8;  // 4096 bytes: under the driver's 5120-byte datagram bound
    uint8_t datagram[most * audioBlockSize];
    blocks = std::min(blocks, most);
    const size_t size = static_cast<size_t>(blocks) * audioBlockSize;
    for (size_t i = 0; i < size; i += 2) {
        datagram[i] = 0xFF;  // silence, as the driver's own filler
        datagram[i + 1] = 0x7F;
    }
    for (int b = 0; b < blocks; ++b) {
        const auto head = audioHead(shield, first + static_cast<uint32_t>(b));
        std::memcpy(datagram + b * audioBlockSize, head.data(), head.size());
    }
    const sockaddr_in to = loopback(driverPortBase + 2 * shield);
    const int64_t at = nowNs();
    if (::sendto(fd, datagram, size, 0, reinterpret_cast<const sockaddr *>(&to), sizeof to) !=
        static_cast<ssize_t>(size))
        return false;
    for (int b = 0; b < blocks; ++b)
        sentStamps.push_back({at, shield, first + static_cast<uint32_t>(b)});
    return true;
}

void AudioPeer::sendLoop(Pace pace)
{
    becomeRealTime();  // the host keeps its pace
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    timespec next;
    ::clock_gettime(CLOCK_MONOTONIC, &next);
    const int64_t start = nowNs();
    bool burstDue = pace.burstBlocks > 0;
    while (sending) {
        // Every shield gets the same sequence numbers: a block is known by its shield and number.
        for (int s = 0; s < pace.shields; ++s)
            sendBlocks(fd, s, nextSeq, pace.blocksPerSend);
        nextSeq += static_cast<uint32_t>(pace.blocksPerSend);
        if (burstDue && nowNs() - start >= pace.burstAfterNs) {
            burstDue = false;
            burstNs = nowNs();
            for (int b = 0; b < pace.burstBlocks; ++b, ++nextSeq) {
                for (int s = 0; s < pace.shields; ++s)
                    sendBlocks(fd, s, nextSeq, 1);
            }
        }
        // Absolute deadlines: a late wake-up does not shift the blocks after it.
        const int64_t ns = next.tv_nsec + pace.periodNs;
        next.tv_sec += static_cast<time_t>(ns / 1000000000);
        next.tv_nsec = static_cast<long>(ns % 1000000000);
        while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr) == EINTR) {
        }
    }
    ::close(fd);
}

}  // namespace Bench
