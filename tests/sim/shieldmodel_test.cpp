// The simulated bus noise: it reaches every byte of the control part, the start byte included
// (so it can forge the bootloader bytes the driver acts on without a CRC), in both directions,
// and the same damage comes again in every run.

#include "link/crc16.h"
#include "link/frame.h"
#include "sim/shieldmodel.h"

#include <QSet>

#include <gtest/gtest.h>

namespace {

// What a shield with noise on every frame clocks out for `count` idle frames from the driver.
QList<QByteArray> noisyIdleReplies(ShieldModel &model, int count)
{
    QList<QByteArray> replies;
    for (int i = 0; i < count; ++i)
        replies << model.transfer(QByteArray(Frame::shortSize, '\0'));
    return replies;
}

}  // namespace

TEST(ShieldModelNoise, ReachesEveryByteForgesBootloaderBytesAndRepeatsItself)
{
    ShieldModel model(2);
    model.setCorruptEvery(1);
    const QList<QByteArray> first = noisyIdleReplies(model, 4000);
    QSet<int> positions;
    QSet<quint8> starts;
    for (const QByteArray &reply : first) {
        for (int i = 0; i < Frame::shortSize; ++i) {
            if (reply.at(i) != 0)
                positions.insert(i);
        }
        starts.insert(Frame::start0(reply));
    }
    EXPECT_EQ(positions.size(), Frame::shortSize);
    EXPECT_TRUE(starts.contains(Frame::bootloaderAck));
    EXPECT_TRUE(starts.contains(0x1F));
    EXPECT_TRUE(starts.contains(Frame::bootloaderSign));

    // Switched on again: the same damage in the same order.
    model.setCorruptEvery(1);
    EXPECT_EQ(noisyIdleReplies(model, 4000), first);

    // Only the CRC: idle frames stay idle.
    model.setCorruptEvery(1, ShieldModel::Noise::CrcOnly);
    for (const QByteArray &reply : noisyIdleReplies(model, 100))
        EXPECT_EQ(reply, QByteArray(Frame::shortSize, '\0'));

    // Only replies that say nothing, every second one: the start byte stays 0, a byte after it
    // is not (the process test of the status figures sees replies with content pass unharmed).
    model.setCorruptEvery(2, ShieldModel::Noise::IdleOnly);
    int spoilt = 0;
    for (const QByteArray &reply : noisyIdleReplies(model, 100)) {
        EXPECT_EQ(Frame::start0(reply), 0);
        spoilt += reply != QByteArray(Frame::shortSize, '\0') ? 1 : 0;
    }
    EXPECT_EQ(spoilt, 50);
}

TEST(ShieldModelNoise, DamagesTheDriversFramesTooSoTheShieldActsOnFewerOfThem)
{
    // Every third frame from the driver arrives damaged: of 40 distinct commands each sent once,
    // between idle frames, the shield executes the undamaged ones, and none that the noise made
    // up.
    ShieldModel model;
    model.setCorruptEvery(3);
    QList<QByteArray> sent;
    for (quint32 n = 0; n < 40; ++n) {
        QByteArray command = Frame::compose32(0x13, 1000 + n);  // dial
        const quint8 start = n % 2 ? Frame::start : Frame::start | Frame::toggleBit;
        command[Frame::startByte] = static_cast<char>(start);
        CRC16().buf_crc_add(command, Frame::controlSize);
        sent << command;
        model.transfer(command);
        model.transfer(QByteArray(Frame::shortSize, '\0'));
    }
    const QList<QByteArray> executed = model.executedCommands();
    EXPECT_GE(executed.size(), 20);
    EXPECT_LE(executed.size(), 34);
    for (const QByteArray &frame : executed)
        EXPECT_TRUE(sent.contains(frame)) << frame.toHex().toStdString();
}
