// Host audio over UDP: any sequence of datagram sizes and contents, sent over the loop-back
// interface to a listening receiver, cut into 512-byte blocks and queued as long packets.
//
// Input: operations, each chosen by one byte mod 8:
//   0-3  send one datagram: its size (16 bits, up to 6143) and a start value for its contents;
//   4    the receiver's slot runs (as on readyRead);
//   5    the event loop runs once (the socket's own readyRead);
//   6    the transfer loop takes one packet from the queue;
//   7    the receiver stops and starts again.
//
// A model follows the stream: datagrams are taken whole in order until one would overflow the
// pending bytes, which is dropped (with an error line, if it is the first of the call), and the
// slot ends there; every 512 bytes make one packet (8 zero bytes, the block, 8 zero bytes) at
// the end of the queue, whose oldest packets go beyond its limit. After each operation the queue, the pending count and the drop
// count must be those of the model, and the debug line must be low.

#include "fuzzsupport.h"

#include "audio/udpread.h"
#include "board/board.h"
#include "link/audioqueue.h"
#include "link/frame.h"
#include "link/linkcounters.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QMutex>
#include <QThread>
#include <QUdpSocket>

#include <linux/sock_diag.h>
#include <sys/socket.h>

#include <limits>
#include <memory>

namespace {

// The receive queue must hold every datagram in flight, or the kernel drops some unseen.
const int maxInFlight = 8;
const int maxInFlightBytes = 32 * 1024;
const int arrivalMs = 5000;

class DebugLine : public Board {
public:
    void gpio_set_debug(quint8 level) override {
        if (level)
            ++raised;
        high = level != 0;
    }
    int raised = 0;
    bool high = false;
};

quint16 freePort() {
    QUdpSocket probe;
    if (!probe.bind(QHostAddress(QHostAddress::LocalHost), 0))
        return 0;
    return probe.localPort();
}

// Bytes held in a socket's receive queue, as the kernel counts them.
quint32 receiveQueueBytes(qintptr fd) {
    quint32 info[SK_MEMINFO_VARS] = {};
    socklen_t length = sizeof(info);
    if (getsockopt(static_cast<int>(fd), SOL_SOCKET, SO_MEMINFO, info, &length) != 0)
        return 0;
    return info[SK_MEMINFO_RMEM_ALLOC];
}

struct Rig {
    Rig() { restart(); }

    // Stops the receiver and starts it again. Should another program take the port in between,
    // a new receiver listens on another one (it starts with no drops counted).
    void restart() {
        if (reader) {
            reader->udpStop();
            reader->udpStart();
        }
        for (int attempt = 0; attempt < 20 && !listening(); ++attempt) {
            reader.reset(new UDPread(nullptr, &streamMutex, freePort(), &queue, &board));
            reader->setDropReportInterval(std::numeric_limits<int>::max());  // once a call
            reader->udpStart();
        }
        FUZZ_CHECK(listening(), QStringLiteral("no loop-back port to listen on"));
        port = socket()->localPort();
    }

    bool listening() const { return reader && reader->isListening(); }
    QUdpSocket *socket() const { return reader->findChild<QUdpSocket *>(); }

    QMutex streamMutex;
    LinkCounters counters;
    AudioQueue queue{&counters};
    DebugLine board;
    std::unique_ptr<UDPread> reader;
    QUdpSocket sender;
    quint16 port = 0;
};

Rig &rig() {
    static Rig *r = new Rig;
    return *r;
}

struct Model {
    QByteArray pending;
    QList<QByteArray> packets;
    QList<QByteArray> inFlight;
    int inFlightBytes = 0;
    quint64 dropped = 0;
    int overflowLines = 0;
    bool overflowTold = false;  // this call

    void stop() {
        pending.clear();
        packets.clear();
        inFlight.clear();
        inFlightBytes = 0;
        overflowTold = false;
    }

    // One call of the receiver's slot.
    void slot() {
        while (!inFlight.isEmpty()) {
            const QByteArray datagram = inFlight.takeFirst();
            inFlightBytes -= datagram.size();
            if (pending.size() + datagram.size() > UDPread::overflowLimit) {
                overflowLines += overflowTold ? 0 : 1;
                overflowTold = true;
                return;
            }
            pending.append(datagram);
            while (pending.size() >= UDPread::blockSize) {
                QByteArray packet(Frame::longSize, '\0');
                packet.replace(Frame::audioOffset, UDPread::blockSize,
                               pending.left(UDPread::blockSize));
                pending.remove(0, UDPread::blockSize);
                packets.append(packet);
                while (packets.size() > JitterBuffer::hardLimit) {
                    packets.removeFirst();
                    ++dropped;
                }
            }
        }
    }
};

const QString overflowLine = QStringLiteral("ERROR: Переполнение буффера более чем в 10 раз!");

void send(Rig &r, Model &m, const QByteArray &datagram) {
    QUdpSocket *receiver = r.socket();
    const quint32 queued = receiveQueueBytes(receiver->socketDescriptor());
    FUZZ_CHECK(r.sender.writeDatagram(datagram, QHostAddress(QHostAddress::LocalHost), r.port) ==
                   datagram.size(),
               r.sender.errorString());
    // Loop-back delivery is immediate in practice; wait for the receive queue to grow anyway.
    QElapsedTimer waited;
    waited.start();
    while (receiveQueueBytes(receiver->socketDescriptor()) <= queued) {
        FUZZ_CHECK(waited.elapsed() < arrivalMs,
                   QStringLiteral("a datagram of %1 bytes never arrived").arg(datagram.size()));
        QThread::yieldCurrentThread();
    }
    m.inFlight.append(datagram);
    m.inFlightBytes += datagram.size();
}

void compare(Rig &r, const Model &m, const QString &step) {
    const QString where = QStringLiteral(" after %1").arg(step);
    FUZZ_CHECK(!r.board.high, QStringLiteral("debug line left high") + where);
    FUZZ_CHECK(
        r.reader->pendingBytes() == m.pending.size(),
        QStringLiteral("pending %1, model %2").arg(r.reader->pendingBytes()).arg(m.pending.size()) +
            where);
    QList<QByteArray> queued;
    {
        std::lock_guard<PiMutex> lock(r.queue.mutex);
        queued = r.queue.list;
    }
    FUZZ_CHECK(
        queued.size() == m.packets.size(),
        QStringLiteral("%1 packets queued, model %2").arg(queued.size()).arg(m.packets.size()) +
            where);
    for (int i = 0; i < queued.size(); ++i)
        FUZZ_CHECK(queued[i] == m.packets[i], QStringLiteral("packet %1 differs").arg(i) + where);
    FUZZ_CHECK(
        r.reader->droppedPackets() == m.dropped,
        QStringLiteral("dropped %1, model %2").arg(r.reader->droppedPackets()).arg(m.dropped) +
            where);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    Fuzz::initQt();
    rig();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Fuzz::Bytes in(data, size);
    Rig &r = rig();
    Fuzz::ConsoleLines console;
    Model m;
    r.restart();
    m.dropped = r.reader->droppedPackets();
    compare(r, m, QStringLiteral("start"));

    static quint32 serial = 0;
    while (!in.atEnd()) {
        const quint8 op = in.u8() % 8;
        QString step;
        const int raisedBefore = r.board.raised;
        switch (op) {
            case 4:
                r.reader->writeBufUDP();
                m.slot();
                step = QStringLiteral("slot");
                break;
            case 5: {
                QCoreApplication::processEvents();
                for (int i = raisedBefore; i < r.board.raised; ++i)
                    m.slot();
                step = QStringLiteral("event loop");
                break;
            }
            case 6: {
                QByteArray packet;
                const bool took = r.queue.take(&packet);
                FUZZ_CHECK(took == !m.packets.isEmpty(), QStringLiteral("take"));
                if (took)
                    m.packets.removeFirst();
                step = QStringLiteral("take");
                break;
            }
            case 7:
                r.restart();
                m.stop();
                m.dropped = r.reader->droppedPackets();
                step = QStringLiteral("restart");
                break;
            default: {
                const int length = in.u16() % 6144;
                const quint8 start = in.u8();
                while (m.inFlight.size() >= maxInFlight ||
                       (!m.inFlight.isEmpty() && m.inFlightBytes + length > maxInFlightBytes)) {
                    // Room first: the receiver takes what waits, at least one datagram a call.
                    r.reader->writeBufUDP();
                    m.slot();
                }
                QByteArray datagram(length, '\0');
                ++serial;
                for (int i = 0; i < length; ++i)
                    datagram[i] = static_cast<char>(start + (serial * 31 + i) * 7);
                send(r, m, datagram);
                step = QStringLiteral("datagram of %1 bytes").arg(length);
                break;
            }
        }
        compare(r, m, step);
        for (const QString &line : console.err) {
            FUZZ_CHECK(line == overflowLine ||
                           line.startsWith(QStringLiteral("#WARNING: UDP audio on port ")),
                       line);
        }
        FUZZ_CHECK(console.err.count(overflowLine) == m.overflowLines,
                   QStringLiteral("%1 overflow lines, model %2")
                       .arg(console.err.count(overflowLine))
                       .arg(m.overflowLines));
        FUZZ_CHECK(console.out.isEmpty(), console.out.join(QLatin1Char('|')));
    }

    r.reader->udpStop();
    m.stop();
    compare(r, m, QStringLiteral("stop"));
    return 0;
}
