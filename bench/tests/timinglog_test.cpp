// The simulator's transfer time stamps, on which the harness's timing figures rest: the bus
// server reports every transfer with the right shield and bytes at the moment it arrived, and
// shield-sim's --timing-log writes lines that the harness reads back as the same transfers.

#include "harness/transferlog.h"

#include "board/boardsimbus.h"
#include "link/frame.h"
#include "shield-sim/simbusserver.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>

using namespace Bench;

namespace {

int64_t steadyNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Drives the bus as the driver would in multi-shield mode: shields out of reset, one selected.
void select(BoardSimbus &board, int shield)
{
    board.gpio_set_reset(1);
    for (quint8 s = 0; s < 6; ++s)
        board.spi_set_cs(s, s == shield ? 1 : 0);
}

QByteArray ping()
{
    QByteArray f = Frame::compose(0x60, 0, 0, 0, 0);
    f[7] = static_cast<char>(0x80);
    f[6] = static_cast<char>(0xB9);
    return f;
}

}  // namespace

TEST(TransferObserver, ReportsShieldBytesAndArrivalOfEachTransfer)
{
    struct Seen {
        int64_t ns;
        int shield;
        QByteArray sent, received;
    };
    std::mutex mutex;
    std::vector<Seen> seen;
    SimbusServer server(1, QString(), [&](const SimbusServer::Transfer &t) {
        const int64_t ns =
            std::chrono::duration_cast<std::chrono::nanoseconds>(t.at.time_since_epoch()).count();
        std::lock_guard<std::mutex> lock(mutex);
        seen.push_back({ns, t.shield, QByteArray(reinterpret_cast<const char *>(t.sent), t.length),
                        QByteArray(reinterpret_cast<const char *>(t.received), t.length)});
    });
    ASSERT_TRUE(server.listening());

    auto board = std::make_unique<BoardSimbus>(server.path());
    board->lib_init();
    select(*board, 2);
    QByteArray frame = ping();
    QByteArray reply(8, '\0');
    const int64_t before = steadyNs();
    for (int i = 0; i < 2; ++i) {
        QByteArray buffer = frame;
        board->spi_transfer(reinterpret_cast<quint8 *>(buffer.data()),
                            reinterpret_cast<quint8 *>(reply.data()), 8);
    }
    const int64_t after = steadyNs();
    board.reset();  // let go of the simulator before it goes

    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_EQ(seen.size(), 2u);
    for (const Seen &s : seen) {
        EXPECT_EQ(s.shield, 2);
        EXPECT_EQ(s.sent, frame);  // the driver's bytes, not the reply that replaced them
        EXPECT_GE(s.ns, before);
        EXPECT_LE(s.ns, after);
    }
    EXPECT_LE(seen[0].ns, seen[1].ns);
    EXPECT_EQ(seen[0].received, QByteArray(8, '\0'));  // a shield answers one transfer late
    EXPECT_EQ(seen[1].received.mid(1, 1), QByteArray(1, 0x60));
    EXPECT_EQ(seen[1].received, reply);
}

TEST(TimingLog, ShieldSimWritesLinesTheHarnessReadsBack)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString socket = dir.filePath(QStringLiteral("bus.sock"));
    const QString logPath = dir.filePath(QStringLiteral("transfers.log"));
    QProcess sim;
    sim.start(QStringLiteral(SHIELD_SIM_PATH),
              {QStringLiteral("--socket"), socket, QStringLiteral("--multishield"),
               QStringLiteral("--timing-log"), logPath});
    ASSERT_TRUE(sim.waitForStarted(10000));
    for (int i = 0; i < 200 && !QFile::exists(socket); ++i)
        QThread::msleep(50);
    ASSERT_TRUE(QFile::exists(socket));

    QByteArray longPacket(Frame::longSize, '\0');
    Frame::fillSilence(longPacket, Frame::audioOffset);
    const auto head = audioHead(4, 77);
    longPacket.replace(Frame::audioOffset, 8,
                       QByteArray(reinterpret_cast<const char *>(head.data()), 8));
    const int64_t before = steadyNs();
    {
        BoardSimbus board(socket);
        board.lib_init();
        select(board, 4);
        QByteArray reply(Frame::longSize, '\0');
        QByteArray buffer = ping();
        board.spi_transfer(reinterpret_cast<quint8 *>(buffer.data()),
                           reinterpret_cast<quint8 *>(reply.data()), 8);
        buffer = longPacket;
        board.spi_transfer(reinterpret_cast<quint8 *>(buffer.data()),
                           reinterpret_cast<quint8 *>(reply.data()), Frame::longSize);
    }  // the driver goes: the simulator writes what it holds
    const int64_t after = steadyNs();

    std::vector<Transfer> log;
    for (int i = 0; i < 100 && log.size() < 2; ++i) {
        QThread::msleep(50);
        log = readTransferLog(logPath.toStdString());
    }
    sim.terminate();
    sim.waitForFinished(5000);

    QFile written(logPath);
    written.open(QIODevice::ReadOnly);
    ASSERT_EQ(log.size(), 2u) << written.readAll().toStdString();
    EXPECT_EQ(log[0].shield, 4);
    EXPECT_EQ(log[0].length, 8);
    EXPECT_TRUE(isValidFrame(log[0].sent));
    EXPECT_EQ(log[0].sent[1], 0x60);
    EXPECT_FALSE(log[0].hasAudio);
    EXPECT_EQ(log[1].length, Frame::longSize);
    EXPECT_EQ(log[1].received[1], 0x60);  // the answer to the ping
    EXPECT_TRUE(log[1].hasAudio);
    EXPECT_EQ(audioToShield(log).size(), 1u);
    EXPECT_EQ(audioToShield(log)[0].key, 77u);
    for (const Transfer &t : log) {
        EXPECT_GE(t.ns, before);  // the same clock as the harness's
        EXPECT_LE(t.ns, after);
    }
}
