// A call's audio end to end, in-process: a pickup switches the link to long packets, the
// shield's audio reaches the host's UDP port and the host's audio reaches the shield, in order
// and complete; a drop returns to short frames and closes the receiver.

#include "audio/udpread.h"
#include "link/datatransmission.h"
#include "link/frame.h"
#include "link/spicommand.h"
#include "link/spiconnector.h"
#include "support/driverharness.h"

#include <QHostAddress>
#include <QUdpSocket>

#include <gtest/gtest.h>

#include <algorithm>

namespace {

QByteArray hostBlock(int j)
{
    QByteArray block(Frame::audioSize, '\0');
    for (int i = 0; i < block.size(); ++i)
        block[i] = static_cast<char>((j * 7 + i) & 0xFF);
    return block;
}

}  // namespace

TEST(AudioEndToEnd, PickupCarriesAudioBothWaysInOrderAndDropClosesIt)
{
    const quint16 base = DriverHarness::freePortBase();
    ASSERT_NE(base, 0);
    DriverHarness::Options options;
    options.hostInPortBase = base;             // the driver listens on base (shield 0)
    options.hostOutPortBase = base + 1;        // and sends shield 0's audio to base + 1
    DriverHarness h(options);

    QUdpSocket host;
    ASSERT_TRUE(host.bind(QHostAddress(QHostAddress::LocalHost), base + 1));
    QList<QByteArray> received;
    QObject::connect(&host, &QUdpSocket::readyRead, [&] {
        while (host.hasPendingDatagrams()) {
            QByteArray d(static_cast<int>(host.pendingDatagramSize()), '\0');
            host.readDatagram(d.data(), d.size());
            received << d;
        }
    });

    h.start();
    ASSERT_TRUE(h.waitForLine(QStringLiteral("#Shield update black list")));
    h.host(QStringLiteral("pickup"));
    ASSERT_TRUE(DriverHarness::waitFor([&] { return h.links[0]->get_long_packet(); }));
    ASSERT_TRUE(DriverHarness::waitFor([&] { return received.size() >= 40; }));

    // Shield to host: one 512-byte datagram per cycle; after the silence of the switching cycle,
    // the shield's tone blocks 0, 1, 2, ... with none missing or repeated.
    for (const QByteArray &d : received)
        ASSERT_EQ(d.size(), Frame::audioSize);
    int first = 0;
    while (first < received.size() && received.at(first) != ShieldModel::toneBlock(0))
        ++first;
    ASSERT_LT(first, 3) << "the tone starts at once after the switch";
    for (int k = 0; first + k < received.size(); ++k)
        ASSERT_EQ(received.at(first + k), ShieldModel::toneBlock(static_cast<quint32>(k))) << k;

    // Host to shield: the driver listens once the shield reports it plays.
    ASSERT_TRUE(DriverHarness::waitFor([&] { return h.playSound.contains({true, 0}); }));
    QUdpSocket sender;
    const int blocks = 10;  // sent at once: within the queue's hard bound, so none is let go
    QByteArray stream;
    for (int j = 0; j < blocks; ++j)
        stream += hostBlock(j);
    // Datagram boundaries do not matter: send the stream in pieces of 300 bytes.
    for (int at = 0; at < stream.size(); at += 300) {
        sender.writeDatagram(stream.mid(at, 300), QHostAddress(QHostAddress::LocalHost), base);
        DriverHarness::waitFor([] { return false; }, 2);
    }
    ASSERT_TRUE(DriverHarness::waitFor(
        [&] { return h.model(0).hostAudioBlocks().size() >= blocks; }));
    const QList<QByteArray> atShield = h.model(0).hostAudioBlocks();
    ASSERT_EQ(atShield.size(), blocks);
    for (int j = 0; j < blocks; ++j)
        EXPECT_EQ(atShield.at(j), hostBlock(j)) << j;

    // Hang-up: audio off, the link short again, the receiver closed.
    h.model(0).raiseEvent(0x83, 0);
    ASSERT_TRUE(h.waitForLine(QStringLiteral("drop")));
    ASSERT_TRUE(DriverHarness::waitFor([&] { return h.playSound.contains({false, 0}); }));
    ASSERT_TRUE(DriverHarness::waitFor([&] { return !h.links[0]->get_long_packet(); }));
    const int countAfterDrop = received.size();
    DriverHarness::waitFor([] { return false; }, 300);
    EXPECT_LE(received.size(), countAfterDrop + 1);
    QUdpSocket probe;
    EXPECT_TRUE(probe.bind(QHostAddress(QHostAddress::LocalHost), base)) << "receiver closed";
}

namespace {

// What asks for the restart of the link while shield 0 is in a call (shield 2 online, idle).
enum class Cause {
    AckByteOfShield2,       // a bootloader acknowledgement byte from shield 2
    AckBytesOfShields0And2, // the same from two shields in one cycle: one restart serves both
    DropWatchdog,           // shield 0 dialled and never hung up
};

struct RestartRow {
    Cause cause;
    const char *name;
    int dropLinesShield2;  // the emergency drop tells every shield online; a restart only callers
};

void PrintTo(const RestartRow &row, std::ostream *os)
{
    *os << row.name;
}

class RestartEndsCalls : public ::testing::TestWithParam<RestartRow>
{
};

const char staleTag[4] = {'S', 'T', 'A', 'L'};

bool isStale(const QByteArray &block)
{
    return block.startsWith(QByteArray(staleTag, 4));
}

}  // namespace

TEST_P(RestartEndsCalls, DropLineBeforeTheShieldIsBackReceiverClosedStaleAudioGone)
{
    const RestartRow row = GetParam();
    const quint16 base = DriverHarness::freePortBase();
    ASSERT_NE(base, 0);
    DriverHarness::Options options;
    options.args = QStringList{QStringLiteral("-multishield")};
    options.hostInPortBase = base;       // shield 0 listens on base
    options.hostOutPortBase = base + 1;  // and sends to base + 1 (nobody reads it here)
    options.dropIntervalMs = 1500;
    DriverHarness h(options);
    for (int absent : {1, 3, 4, 5})
        h.model(absent).setMute(true);
    h.start();
    ASSERT_TRUE(h.waitForLine(QStringLiteral("#Shield 0 update black list"), 30000));
    ASSERT_TRUE(h.waitForLine(QStringLiteral("#Shield 2 update black list"), 30000));

    // A call on shield 0, with host audio queued for it when the restart comes.
    h.host(QStringLiteral("0 pickup"));
    ASSERT_TRUE(DriverHarness::waitFor([&] { return h.udpRead[0]->isListening(); }));
    QUdpSocket sender;
    for (quint32 n = 0; n < 30; ++n) {
        QByteArray block(Frame::audioSize, '\x11');
        block.replace(0, 4, QByteArray(staleTag, 4));
        block[4] = static_cast<char>(n);
        sender.writeDatagram(block, QHostAddress(QHostAddress::LocalHost), base);
    }
    const int from = h.out().size();
    switch (row.cause) {
        case Cause::AckByteOfShield2:
            h.model(2).sendBootloaderAck();
            break;
        case Cause::AckBytesOfShields0And2:
            h.underLinkMutex([&] {
                h.model(0).sendBootloaderAck();
                h.model(2).sendBootloaderAck();
            });
            break;
        case Cause::DropWatchdog:
            h.model(0).raiseDial(300);
            break;
    }
    ASSERT_TRUE(h.waitForLine(QStringLiteral("0 shield_ready"), 30000, from));
    ASSERT_TRUE(h.waitForLine(QStringLiteral("2 shield_ready"), 30000, from));
    const int staleAtShield = h.model(0).hostAudioBlocks().size();

    // The host heard of the end of the call once, before the shield came back; the idle shield
    // heard nothing more than the emergency drop tells every shield online.
    const QStringList out = h.out().mid(from);
    EXPECT_EQ(out.count(QStringLiteral("0 drop")), 1) << out.join('\n').toStdString();
    EXPECT_LT(out.indexOf(QStringLiteral("0 drop")), out.indexOf(QStringLiteral("0 shield_ready")));
    EXPECT_EQ(out.count(QStringLiteral("2 drop")), row.dropLinesShield2);
    EXPECT_EQ(h.console.err().count(QStringLiteral("#Restart ALL Shields")), 1);

    // The receiver is closed until the next call, and what it had queued is gone.
    EXPECT_FALSE(h.udpRead[0]->isListening());
    {
        QUdpSocket probe;
        EXPECT_TRUE(probe.bind(QHostAddress(QHostAddress::LocalHost), base)) << "port still held";
    }
    EXPECT_EQ(h.links[0]->audio_queue->size(), 0);
    h.host(QStringLiteral("0 pickup"));
    ASSERT_TRUE(DriverHarness::waitFor([&] { return h.udpRead[0]->isListening(); }));
    ASSERT_TRUE(DriverHarness::waitFor([&] { return h.model(0).audioOn(); }));
    DriverHarness::waitFor([] { return false; }, 300);  // a few dozen cycles of the new call
    const QList<QByteArray> atShield = h.model(0).hostAudioBlocks();
    EXPECT_EQ(std::count_if(atShield.begin() + staleAtShield, atShield.end(), isStale), 0)
        << "blocks of the first call played in the second";
    EXPECT_EQ(h.console.err().count(QStringLiteral("#Restart ALL Shields")), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Causes, RestartEndsCalls,
    ::testing::Values(RestartRow{Cause::AckByteOfShield2, "AckByte", 0},
                      RestartRow{Cause::AckBytesOfShields0And2, "TwoAckBytesInOneCycle", 0},
                      RestartRow{Cause::DropWatchdog, "DropWatchdog", 1}),
    [](const ::testing::TestParamInfo<RestartRow> &info) { return info.param.name; });
