// Host audio on its way to a shield: the datagrams are one stream cut into 512-byte blocks, each
// queued as a long packet; oversized datagrams are refused whole; the queue stays short; nothing
// is heard while the receiver is closed. And the playback switch that opens and closes it.

#include "audio/soundplaycontrol.h"
#include "audio/udpread.h"
#include "board/board.h"
#include "link/audioqueue.h"
#include "link/frame.h"
#include "link/linkcounters.h"
#include "support/consolecapture.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QMutex>
#include <QUdpSocket>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace {

// Generous: loop-back delivery is immediate, but the machine may be busy.
const int arrivalMs = 5000;
// How long to wait for datagrams that must not arrive.
const int quietMs = 200;

const QString overflowLine = QStringLiteral("ERROR: Переполнение буффера более чем в 10 раз!");

// Records each level written to the debug line with the queue length at that moment, so a test
// sees both the level and that the packets were queued while the line was up.
class DebugLineBoard : public Board
{
public:
    struct Change {
        quint8 level;
        int queued;
    };

    explicit DebugLineBoard(DataTransmission *queue) : queue(queue) {}
    void gpio_set_debug(quint8 level) override { changes.append({level, queue->size()}); }

    QList<Change> changes;

private:
    DataTransmission *queue;
};

quint16 freePort()
{
    QUdpSocket probe;
    if (!probe.bind(QHostAddress(QHostAddress::LocalHost), 0))
        return 0;
    const quint16 port = probe.localPort();
    probe.close();
    return port;
}

// Stream bytes that differ from block to block (251 is prime to 512).
QByteArray streamBytes(int from, int count)
{
    QByteArray bytes(count, '\0');
    for (int i = 0; i < count; ++i)
        bytes[i] = static_cast<char>((from + i) % 251);
    return bytes;
}

QByteArray packetOf(const QByteArray &audio)
{
    return QByteArray(Frame::audioOffset, '\0') + audio + QByteArray(Frame::trailerSize, '\0');
}

bool pumpUntil(const std::function<bool()> &done, int timeoutMs = arrivalMs)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

void pumpFor(int ms)
{
    pumpUntil([] { return false; }, ms);
}

class UdpReadTest : public ::testing::Test
{
protected:
    UdpReadTest()
        : queue(&counters),
          board(&queue),
          port(freePort()),
          reader(nullptr, &streamMutex, port, &queue, &board)
    {}

    void SetUp() override
    {
        ASSERT_NE(port, 0);
        reader.setCounters(&counters);
    }

    void send(const QByteArray &datagram)
    {
        ASSERT_EQ(sender.writeDatagram(datagram, QHostAddress(QHostAddress::LocalHost), port),
                  datagram.size());
    }

    QList<QByteArray> queued()
    {
        std::lock_guard<PiMutex> lock(queue.mutex);
        return queue.list;
    }

    LinkCounters counters;  // what the status socket shows
    AudioQueue queue;
    DebugLineBoard board;
    QMutex streamMutex;
    quint16 port;
    UDPread reader;
    QUdpSocket sender;
};

TEST_F(UdpReadTest, OneDatagramOfTwoBlocksBecomesTwoLongPacketsInOrder)
{
    reader.udpStart();
    send(streamBytes(0, 1024));
    ASSERT_TRUE(pumpUntil([&] { return queue.size() == 2; }));

    const QList<QByteArray> packets = queued();
    ASSERT_EQ(packets.size(), 2);
    for (const QByteArray &p : packets)
        EXPECT_EQ(p.size(), Frame::longSize);
    EXPECT_EQ(packets.at(0), packetOf(streamBytes(0, 512)));
    EXPECT_EQ(packets.at(1), packetOf(streamBytes(512, 512)));
    EXPECT_EQ(reader.pendingBytes(), 0);
}

TEST_F(UdpReadTest, DatagramBoundariesDoNotMatter)
{
    const struct {
        int packets;
        int pending;
    } afterEach[] = {{0, 300}, {1, 88}, {1, 388}};

    reader.udpStart();
    int sent = 0;
    for (const auto &expected : afterEach) {
        SCOPED_TRACE(sent);
        send(streamBytes(sent, 300));
        sent += 300;
        ASSERT_TRUE(pumpUntil([&] { return reader.pendingBytes() == expected.pending; }));
        EXPECT_EQ(queue.size(), expected.packets);
    }
    EXPECT_EQ(queued(), QList<QByteArray>{packetOf(streamBytes(0, 512))});
}

TEST_F(UdpReadTest, DatagramsPastTenBlocksInAllAreRefusedWholeAndTheStreamGoesOn)
{
    const struct {
        int pendingBefore;
        int size;
        bool accepted;
    } cases[] = {
        {0, 5120, true}, {0, 5121, false}, {0, 6000, false}, {100, 5020, true}, {100, 5021, false},
    };

    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.pendingBefore << " pending + " << c.size);
        reader.udpStop();
        reader.udpStart();
        ConsoleCapture console;
        if (c.pendingBefore > 0) {
            send(streamBytes(0, c.pendingBefore));
            ASSERT_TRUE(pumpUntil([&] { return reader.pendingBytes() == c.pendingBefore; }));
        }
        const quint32 droppedBefore = counters.audio_dropped;
        send(QByteArray(c.size, '\x55'));
        if (c.accepted) {
            const int total = c.pendingBefore + c.size;
            ASSERT_TRUE(pumpUntil([&] { return queue.size() == total / 512; }));
            EXPECT_EQ(reader.pendingBytes(), total % 512);
            EXPECT_EQ(queued().first(), packetOf(streamBytes(0, c.pendingBefore) +
                                                 QByteArray(512 - c.pendingBefore, '\x55')));
            EXPECT_TRUE(console.err().isEmpty());
        } else {
            ASSERT_TRUE(pumpUntil([&] { return !console.err().isEmpty(); }));
            EXPECT_EQ(console.err(), QStringList{overflowLine});
            EXPECT_EQ(queue.size(), 0);
            EXPECT_EQ(reader.pendingBytes(), c.pendingBefore);
            // The refused bytes count as the blocks they would have made.
            const quint32 blocks = static_cast<quint32>((c.size + 511) / 512);
            EXPECT_EQ(counters.audio_dropped - droppedBefore, blocks);
            // A second one in the same call is counted, but not told again so soon.
            send(QByteArray(c.size, '\x55'));
            ASSERT_TRUE(
                pumpUntil([&] { return counters.audio_dropped - droppedBefore == 2 * blocks; }));
            EXPECT_EQ(console.err(), QStringList{overflowLine});

            // Nothing of the refused datagram enters the stream; the next one continues it.
            send(streamBytes(c.pendingBefore, 512 - c.pendingBefore));
            ASSERT_TRUE(pumpUntil([&] { return queue.size() == 1; }));
            EXPECT_EQ(queued(), QList<QByteArray>{packetOf(streamBytes(0, 512))});
            EXPECT_EQ(reader.pendingBytes(), 0);
        }
        EXPECT_TRUE(console.out().isEmpty());
    }
}

TEST_F(UdpReadTest, StopDropsPendingBytesAndQueuedPacketsAndClosesThePort)
{
    reader.udpStart();
    EXPECT_TRUE(reader.isListening());
    send(streamBytes(0, 5 * 512 + 300));
    ASSERT_TRUE(pumpUntil([&] { return reader.pendingBytes() == 300; }));
    ASSERT_EQ(queue.size(), 5);
    {
        std::lock_guard<PiMutex> lock(queue.mutex);
        queue.buffer = QByteArray("in flight");
    }

    reader.udpStop();
    EXPECT_FALSE(reader.isListening());
    EXPECT_EQ(reader.pendingBytes(), 0);
    EXPECT_EQ(queue.size(), 0);
    EXPECT_EQ(queue.buffer, QByteArray("in flight"));  // the frame being sent is not the receiver's

    // Sent while closed: lost, so it does not turn up once the receiver listens again.
    send(streamBytes(0, 300));
    pumpFor(quietMs);
    EXPECT_EQ(reader.pendingBytes(), 0);
    reader.udpStart();
    send(streamBytes(0, 100));
    ASSERT_TRUE(pumpUntil([&] { return reader.pendingBytes() != 0; }));
    pumpFor(quietMs);
    EXPECT_EQ(reader.pendingBytes(), 100);
    EXPECT_EQ(queue.size(), 0);
}

TEST_F(UdpReadTest, NothingIsHeardBeforeTheFirstStart)
{
    EXPECT_FALSE(reader.isListening());
    send(streamBytes(0, 1024));
    pumpFor(quietMs);
    EXPECT_EQ(queue.size(), 0);
    EXPECT_EQ(reader.pendingBytes(), 0);
    EXPECT_TRUE(board.changes.isEmpty());

    reader.udpStart();
    reader.udpStart();  // a second start while listening changes nothing
    EXPECT_TRUE(reader.isListening());
    send(streamBytes(0, 200));
    ASSERT_TRUE(pumpUntil([&] { return reader.pendingBytes() != 0; }));
    pumpFor(quietMs);
    EXPECT_EQ(reader.pendingBytes(), 200);
    EXPECT_EQ(queue.size(), 0);
}

TEST_F(UdpReadTest, APortHeldElsewhereIsToldOnceAndTakenWhenFreeUnlessTheShieldStopped)
{
    ConsoleCapture console;
    const QString told = QStringLiteral("#WARNING: UDP audio on port ") + QString::number(port);
    auto holder = std::make_unique<QUdpSocket>();
    ASSERT_TRUE(
        holder->bind(QHostAddress(QHostAddress::LocalHost), port, QUdpSocket::DontShareAddress));
    reader.udpStart();
    reader.udpStart();
    EXPECT_FALSE(reader.isListening());
    pumpFor(2 * UDPread::bindRetryMs + quietMs);  // tried again, told once
    ASSERT_EQ(console.err().size(), 1) << console.err().join('\n');
    EXPECT_TRUE(console.err().first().startsWith(told + QStringLiteral(": cannot listen (")))
        << console.err().first();

    holder.reset();
    ASSERT_TRUE(pumpUntil([&] { return reader.isListening(); }));
    EXPECT_EQ(console.err().value(1), told + QStringLiteral(": listening now"));
    send(streamBytes(0, 512));
    ASSERT_TRUE(pumpUntil([&] { return queue.size() == 1; }));

    // Stopped while the port is held: not taken later, and the next start tells again.
    reader.udpStop();
    console.clear();
    holder = std::make_unique<QUdpSocket>();
    ASSERT_TRUE(
        holder->bind(QHostAddress(QHostAddress::LocalHost), port, QUdpSocket::DontShareAddress));
    reader.udpStart();
    reader.udpStop();
    holder.reset();
    pumpFor(UDPread::bindRetryMs + quietMs);
    EXPECT_FALSE(reader.isListening());
    EXPECT_EQ(console.err().size(), 1);
}

TEST_F(UdpReadTest, DebugLineIsUpWhileBlocksAreCutAndDownAfterEveryCall)
{
    ConsoleCapture console;
    reader.udpStart();
    send(streamBytes(0, 1024));
    ASSERT_TRUE(pumpUntil([&] { return queue.size() == 2; }));
    send(QByteArray(6000, '\0'));  // refused
    ASSERT_TRUE(pumpUntil([&] { return !console.err().isEmpty(); }));
    send(streamBytes(0, 300));
    ASSERT_TRUE(pumpUntil([&] { return reader.pendingBytes() == 300; }));

    const QList<DebugLineBoard::Change> changes = board.changes;
    ASSERT_GE(changes.size(), 6);
    EXPECT_EQ(changes.size() % 2, 0) << "every raise has its lowering";
    for (int i = 0; i < changes.size(); ++i)
        EXPECT_EQ(changes.at(i).level, i % 2 == 0 ? 1 : 0) << "change " << i;
    // The call that cut the two blocks raised the line before queuing and lowered it after.
    bool sawBlocksCutWhileUp = false;
    for (int i = 0; i + 1 < changes.size(); i += 2)
        sawBlocksCutWhileUp |= changes.at(i).queued == 0 && changes.at(i + 1).queued == 2;
    EXPECT_TRUE(sawBlocksCutWhileUp);
}

TEST_F(UdpReadTest, ABurstPastTheHardBoundKeepsTheNewestAndTheLossIsToldOnceAnIntervalAtMost)
{
    ConsoleCapture console;
    // Waits for the interval once: a second report comes when it is over, not before.
    reader.setDropReportInterval(1000);
    reader.udpStart();
    const int blocks = JitterBuffer::hardLimit + 8;
    for (int j = 0; j < blocks; ++j)
        send(streamBytes(j * 512, 512));
    ASSERT_TRUE(pumpUntil([&] {
        const QList<QByteArray> packets = queued();
        return !packets.isEmpty() &&
               packets.last() == packetOf(streamBytes((blocks - 1) * 512, 512));
    }));

    const QList<QByteArray> packets = queued();
    ASSERT_EQ(packets.size(), JitterBuffer::hardLimit);
    for (int k = 0; k < packets.size(); ++k)
        EXPECT_EQ(packets.at(k), packetOf(streamBytes((8 + k) * 512, 512))) << "packet " << k;
    EXPECT_EQ(reader.droppedPackets(), 8u);
    EXPECT_EQ(counters.audio_blocks_in.load(), static_cast<quint32>(blocks));
    EXPECT_EQ(counters.audio_dropped.load(), 8u);
    ASSERT_EQ(console.err().size(), 1);
    EXPECT_TRUE(console.err().first().contains(QString::number(port))) << console.err().first();
    EXPECT_TRUE(console.out().isEmpty());

    // More loss soon after is counted but not reported again yet.
    for (int j = 0; j < 4; ++j)
        send(streamBytes(0, 512));
    ASSERT_TRUE(pumpUntil([&] { return reader.droppedPackets() == 12; }));
    EXPECT_EQ(console.err().size(), 1);
    ASSERT_TRUE(pumpUntil([&] { return console.err().size() == 2; }));
    EXPECT_TRUE(console.err().at(1).contains(QStringLiteral(": 4 packets dropped")))
        << console.err().at(1);
    EXPECT_EQ(counters.audio_dropped.load(), 12u);
}

// Which of the switch's signals fired, in order, as "start 3" / "stop 0".
class SwitchRecorder
{
public:
    explicit SwitchRecorder(SoundPlayControl *control)
    {
        using Signal = void (SoundPlayControl::*)();
        const Signal starts[6] = {&SoundPlayControl::udp_start_0, &SoundPlayControl::udp_start_1,
                                  &SoundPlayControl::udp_start_2, &SoundPlayControl::udp_start_3,
                                  &SoundPlayControl::udp_start_4, &SoundPlayControl::udp_start_5};
        const Signal stops[6] = {&SoundPlayControl::udp_stop_0, &SoundPlayControl::udp_stop_1,
                                 &SoundPlayControl::udp_stop_2, &SoundPlayControl::udp_stop_3,
                                 &SoundPlayControl::udp_stop_4, &SoundPlayControl::udp_stop_5};
        for (int i = 0; i < 6; ++i) {
            QObject::connect(control, starts[i],
                             [this, i] { fired << QStringLiteral("start %1").arg(i); });
            QObject::connect(control, stops[i],
                             [this, i] { fired << QStringLiteral("stop %1").arg(i); });
        }
    }

    QStringList fired;
};

TEST(SoundPlaySwitch, EachShieldAddressStartsOrStopsOnlyItsOwnReceiver)
{
    for (quint8 shield = 0; shield < 6; ++shield) {
        for (bool value : {true, false}) {
            SoundPlayControl control;
            SwitchRecorder recorder(&control);
            control.play_sound_switch(value, shield);
            EXPECT_EQ(
                recorder.fired,
                QStringList{QStringLiteral("%1 %2").arg(value ? "start" : "stop").arg(shield)});
        }
    }
}

TEST(SoundPlaySwitch, RepeatsAreSignalledAgainAndUnknownShieldsAreDropped)
{
    const struct {
        QList<QPair<bool, quint8>> calls;
        QStringList fired;
    } cases[] = {
        {{{true, 3}}, {"start 3"}},
        {{{false, 0}, {false, 0}}, {"stop 0", "stop 0"}},
        {{{true, 7}}, {}},
        {{{false, 6}, {true, 255}}, {}},
        {{{true, 2}, {true, 2}, {false, 2}}, {"start 2", "start 2", "stop 2"}},
    };
    for (const auto &c : cases) {
        SoundPlayControl control;
        SwitchRecorder recorder(&control);
        for (const auto &call : c.calls)
            control.play_sound_switch(call.first, call.second);
        EXPECT_EQ(recorder.fired, c.fired);
    }
}

}  // namespace
