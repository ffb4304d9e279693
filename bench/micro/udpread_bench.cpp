// The host's audio on its way in: UDPread drains the datagrams waiting on its socket, cuts the
// byte stream into 512-byte blocks and queues each as a long packet. Each iteration reads 5120
// bytes (ten blocks' worth) in datagrams of the given size; sending them and emptying the queue
// are not timed.

#include "audio/udpread.h"
#include "board/board.h"
#include "link/audioqueue.h"
#include "link/linkcounters.h"

#include <QHostAddress>
#include <QMutex>
#include <QUdpSocket>

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A loop-back UDP port that nobody holds right now.
quint16 freePort()
{
    QUdpSocket probe;
    probe.bind(QHostAddress(QHostAddress::LocalHost), 0);
    return probe.localPort();
}

void BM_UdpReassembly(benchmark::State &state)
{
    const int datagram = static_cast<int>(state.range(0));
    const int perIteration = 5120;
    const int datagrams = (perIteration + datagram - 1) / datagram;
    QMutex streamMutex;
    LinkCounters counters;
    AudioQueue queue(&counters);
    Board board;
    const quint16 port = freePort();
    UDPread reader(nullptr, &streamMutex, port, &queue, &board);
    reader.udpStart();
    if (!reader.isListening()) {
        state.SkipWithError("cannot bind a loop-back port");
        return;
    }
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to;
    std::memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    QByteArray bytes(datagram, '\x55');

    for (auto _ : state) {
        state.PauseTiming();
        // Loop-back delivery is done when sendto returns.
        for (int i = 0; i < datagrams; ++i)
            ::sendto(fd, bytes.constData(), static_cast<size_t>(datagram), 0,
                     reinterpret_cast<const sockaddr *>(&to), sizeof to);
        state.ResumeTiming();
        reader.writeBufUDP();
        state.PauseTiming();
        queue.endCall();
        state.ResumeTiming();
    }
    ::close(fd);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * datagrams * datagram);
}
BENCHMARK(BM_UdpReassembly)->Arg(512)->Arg(300)->Arg(5120);

}  // namespace
