// A call's audio end to end, in-process: a pickup switches the link to long packets, the
// shield's audio reaches the host's UDP port and the host's audio reaches the shield, in order
// and complete; a drop returns to short frames and closes the receiver.

#include "link/frame.h"
#include "link/spicommand.h"
#include "link/spiconnector.h"
#include "support/driverharness.h"

#include <QHostAddress>
#include <QUdpSocket>

#include <gtest/gtest.h>

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
    h.command->command_pickup(0);
    h.command->command_audio_play(0, true);
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
    const int blocks = 20;
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
