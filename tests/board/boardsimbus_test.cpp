// The simulated bus seen from the simulator's side: what crosses the socket for pin writes and
// transfers, that messages of several threads stay whole, and that a bus that is gone or never
// was ends the process with one "#ERROR" line.

#include "board/boardsimbus.h"
#include "support/recordingbusserver.h"

#include <QSet>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <string>
#include <thread>

#include <unistd.h>

namespace {

using PinWrite = RecordingBusServer::PinWrite;
constexpr int waitMs = 10000;

// Runs a board call that blocks on the simulator; one that never returns ends the whole test
// program instead of hanging it.
template <typename F>
void withinSeconds(int seconds, F call)
{
    std::promise<void> done;
    std::future<void> finished = done.get_future();
    std::thread worker([&] {
        call();
        done.set_value();
    });
    if (finished.wait_for(std::chrono::seconds(seconds)) != std::future_status::ready) {
        std::fprintf(stderr, "a board call still blocks after %d s\n", seconds);
        std::_Exit(2);
    }
    worker.join();
}

QByteArray bytesOf(const quint8 *data, int length)
{
    return QByteArray(reinterpret_cast<const char *>(data), length);
}

}  // namespace

TEST(SimulatedBus, ConnectsAndSendsEveryPinWriteInOrder)
{
    RecordingBusServer server;
    ASSERT_TRUE(server.isListening());
    BoardSimbus board(server.path());
    board.lib_init();
    ASSERT_TRUE(server.waitForConnection(waitMs));
    EXPECT_EQ(server.connections(), 1);

    board.gpio_init();
    board.spi_set_cs(5, 1);
    board.spi_set_cs3(1);
    board.gpio_set_debug(1);
    board.gpio_set_reset(0);
    const QList<PinWrite> expected = {{6, 0},  {15, 0}, {16, 0}, {13, 0}, {10, 0}, {9, 0}, {8, 0},
                                      {0, 0},  {7, 1},  {8, 1},  {10, 1}, {0, 1},  {7, 0}};
    ASSERT_TRUE(server.waitForMessages(expected.size(), waitMs));
    EXPECT_EQ(server.pinWrites(), expected);
    EXPECT_TRUE(server.transfers().isEmpty());
    EXPECT_FALSE(server.protocolError());
}

TEST(SimulatedBus, TransferRoundTripFillsBothBuffers)
{
    RecordingBusServer server;
    // The simulated shields answer each byte inverted, in reverse order.
    server.setReplyHandler([](const QByteArray &sent) {
        QByteArray reply;
        for (int i = sent.size() - 1; i >= 0; --i)
            reply.append(static_cast<char>(~sent.at(i)));
        return reply;
    });
    BoardSimbus board(server.path());
    board.lib_init();
    // Lengths whose high byte is non-zero show the byte order of the length field.
    for (quint16 length : {1, 8, 255, 256, 528, 4099}) {
        SCOPED_TRACE(testing::Message() << "length " << length);
        QByteArray buffer(length, '\0');
        for (int i = 0; i < length; ++i)
            buffer[i] = static_cast<char>(i * 13 + length);
        const QByteArray sent = buffer;
        QByteArray received(length + 4, '\x77');
        withinSeconds(10, [&] {
            board.spi_transfer(reinterpret_cast<quint8 *>(buffer.data()),
                               reinterpret_cast<quint8 *>(received.data()), length);
        });
        QByteArray expected;
        for (int i = length - 1; i >= 0; --i)
            expected.append(static_cast<char>(~sent.at(i)));
        ASSERT_FALSE(server.transfers().isEmpty());
        EXPECT_EQ(server.transfers().last(), sent);
        EXPECT_EQ(buffer, expected);
        EXPECT_EQ(received.left(length), expected);
        EXPECT_EQ(received.mid(length), QByteArray(4, '\x77'));
    }
    EXPECT_FALSE(server.protocolError());
}

TEST(SimulatedBus, EmptyTransferSendsTheHeaderOnly)
{
    RecordingBusServer server;
    server.setReplyHandler([](const QByteArray &) { return QByteArray("unexpected"); });
    BoardSimbus board(server.path());
    board.lib_init();
    quint8 buffer[2] = {0x12, 0x34};
    quint8 received[2] = {0x56, 0x78};
    withinSeconds(10, [&] { board.spi_transfer(buffer, received, 0); });
    board.gpio_set_debug(1);  // stays framed after the empty transfer
    ASSERT_TRUE(server.waitForMessages(2, waitMs));
    const QList<RecordingBusServer::Message> messages = server.messages();
    EXPECT_EQ(messages.at(0).kind, 'S');
    EXPECT_TRUE(messages.at(0).bytes.isEmpty());
    EXPECT_EQ(messages.at(1).kind, 'G');
    EXPECT_FALSE(server.protocolError());
    EXPECT_EQ(bytesOf(buffer, 2), QByteArray("\x12\x34"));
    EXPECT_EQ(bytesOf(received, 2), QByteArray("\x56\x78"));
}

TEST(SimulatedBus, AlternativeSpiInterfaceSendsNothing)
{
    RecordingBusServer server;
    BoardSimbus board(server.path());
    board.lib_init();
    quint8 buffer[3] = {1, 2, 3};
    quint8 received[3] = {9, 9, 9};
    board.spi1_init();
    board.spi1_transfer(buffer, received, 3);
    board.gpio_set_reset(1);  // a marker: the first and only message expected
    ASSERT_TRUE(server.waitForMessages(1, waitMs));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_EQ(server.messages().size(), 1);
    EXPECT_EQ(server.messages().first().kind, 'G');
    EXPECT_EQ(bytesOf(buffer, 3), QByteArray("\x01\x02\x03"));
    EXPECT_EQ(bytesOf(received, 3), QByteArray("\x09\x09\x09"));
}

TEST(SimulatedBus, MessagesOfTwoThreadsNeverInterleave)
{
    RecordingBusServer server;
    server.setReplyHandler([](const QByteArray &sent) {
        QByteArray reply = sent;
        for (char &c : reply)
            c = static_cast<char>(c ^ 0x5a);
        return reply;
    });
    BoardSimbus board(server.path());
    board.lib_init();

    const int rounds = 150;
    const int length = 3000;  // larger than one socket write is sure to carry whole
    auto worker = [&](quint8 id, QSet<QByteArray> *sentByMe, int *badReplies) {
        for (int r = 0; r < rounds; ++r) {
            QByteArray buffer(length, static_cast<char>(id));
            buffer[1] = static_cast<char>(r);
            buffer[2] = static_cast<char>(r >> 8);
            sentByMe->insert(buffer);
            QByteArray expected = buffer;
            for (char &c : expected)
                c = static_cast<char>(c ^ 0x5a);
            QByteArray received(length, '\0');
            board.spi_transfer(reinterpret_cast<quint8 *>(buffer.data()),
                               reinterpret_cast<quint8 *>(received.data()), length);
            if (received != expected)
                ++*badReplies;
            board.spi_set_cs(id, static_cast<quint8>(r & 1));
        }
    };
    QSet<QByteArray> sentA, sentB;
    int badA = 0, badB = 0;
    withinSeconds(20, [&] {
        std::thread a(worker, 0, &sentA, &badA);
        std::thread b(worker, 1, &sentB, &badB);
        a.join();
        b.join();
    });
    EXPECT_EQ(badA, 0);
    EXPECT_EQ(badB, 0);
    ASSERT_TRUE(server.waitForMessages(4 * rounds, waitMs));
    EXPECT_FALSE(server.protocolError());
    const QList<QByteArray> transfers = server.transfers();
    EXPECT_EQ(QSet<QByteArray>(transfers.begin(), transfers.end()), sentA + sentB);
    EXPECT_EQ(server.pinWrites().size(), 2 * rounds);
    for (const PinWrite &w : server.pinWrites())
        EXPECT_TRUE(w.pin == 15 || w.pin == 16) << w;
}

// A pin write (the UDP readers' debug line) that finds a transfer on the socket does not wait
// for the shield's reply: it returns at once, and its messages follow the transfer, in order.
TEST(SimulatedBus, PinWritesDoNotWaitForATransferOnTheBus)
{
    RecordingBusServer server;
    std::promise<void> writesDone;
    std::shared_future<void> released = writesDone.get_future().share();
    server.setReplyHandler([released](const QByteArray &sent) {
        released.wait();  // the reply is held until the writes below have returned
        return sent;
    });
    BoardSimbus board(server.path());
    board.lib_init();
    ASSERT_TRUE(server.waitForConnection(waitMs));

    QByteArray buffer(528, '\x11');
    QByteArray received(528, '\0');
    std::thread transfer([&] {
        board.spi_transfer(reinterpret_cast<quint8 *>(buffer.data()),
                           reinterpret_cast<quint8 *>(received.data()), 528);
    });
    ASSERT_TRUE(server.waitForMessages(1, waitMs));  // the transfer is on the bus
    withinSeconds(10, [&] {
        board.gpio_set_debug(1);
        board.gpio_set_debug(0);
        board.gpio_set_debug(1);
    });
    writesDone.set_value();
    transfer.join();
    ASSERT_TRUE(server.waitForMessages(4, waitMs));
    const QList<RecordingBusServer::Message> messages = server.messages();
    EXPECT_EQ(messages.at(0).kind, 'S');
    EXPECT_EQ(server.pinWrites(), (QList<PinWrite>{{0, 1}, {0, 0}, {0, 1}}));
    EXPECT_EQ(received, QByteArray(528, '\x11'));
    EXPECT_FALSE(server.protocolError());
}

// The process-ending cases run in a forked child; its simulator lives in this directory, so
// nothing of it outlives the test.
class SimulatedBusGone : public testing::Test
{
protected:
    QTemporaryDir dir;
};

TEST_F(SimulatedBusGone, ClosedSocketEndsTheNextOperation)
{
    EXPECT_EXIT(
        {
            RecordingBusServer server(dir.path());
            BoardSimbus board(server.path());
            board.lib_init();
            server.waitForConnection(waitMs);
            server.closeClient();
            quint8 buffer[8] = {};
            board.spi_transfer(buffer, buffer, 8);
            board.gpio_set_debug(1);
            std::exit(0);  // neither call noticed the bus is gone
        },
        testing::ExitedWithCode(1), "^#ERROR[^\n]*\n$");
}

TEST_F(SimulatedBusGone, ClosedSocketEndsAnIdleDriver)
{
    // Nothing is sent after the simulator goes away: the board still notices on its own.
    EXPECT_EXIT(
        {
            RecordingBusServer server(dir.path());
            BoardSimbus board(server.path());
            board.lib_init();
            board.gpio_init();
            server.waitForMessages(9, waitMs);
            server.closeClient();
            std::this_thread::sleep_for(std::chrono::seconds(10));
            std::exit(0);
        },
        testing::ExitedWithCode(1), "^#ERROR[^\n]*\n$");
}

TEST_F(SimulatedBusGone, NoSimulatorToConnectTo)
{
    // A regular file where the socket should be.
    const QString plainFile = dir.filePath(QStringLiteral("plain"));
    FILE *f = std::fopen(plainFile.toLocal8Bit().constData(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    const QString paths[] = {
        QString(),                                  // -simbus as the last word
        dir.filePath(QStringLiteral("nobody")),     // no listener
        plainFile,                                  // not a socket
        dir.filePath(QString(200, QLatin1Char('x'))),  // too long for a socket address
    };
    for (const QString &path : paths) {
        SCOPED_TRACE(path.toStdString());
        EXPECT_EXIT(
            {
                BoardSimbus board(path);
                board.lib_init();
                std::exit(0);
            },
            testing::ExitedWithCode(1), "^#ERROR[^\n]*\n$");
    }
}

TEST_F(SimulatedBusGone, LettingGoOfTheBusIsQuiet)
{
    // The host went away and the driver closes the board: no "bus lost" exit, nothing more
    // crosses the socket, and a transfer afterwards clocks in zeros.
    EXPECT_EXIT(
        {
            RecordingBusServer server(dir.path());
            server.setReplyHandler([](const QByteArray &sent) { return sent; });
            BoardSimbus board(server.path());
            board.lib_init();
            board.gpio_init();
            server.waitForMessages(9, waitMs);
            board.lib_deinit();
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            quint8 buffer[4];
            std::memset(buffer, 0x55, sizeof buffer);
            board.spi_transfer(buffer, buffer, 4);
            board.gpio_set_debug(1);
            board.lib_deinit();
            const bool zeros = bytesOf(buffer, 4) == QByteArray(4, '\0');
            std::exit(zeros && server.messages().size() == 9 ? 0 : 3);
        },
        testing::ExitedWithCode(0), "^$");
}

TEST_F(SimulatedBusGone, SecondDriverOnTheBusEndsNamingTheHolder)
{
    // The lock is per process: this test process is the first driver, the forked child of the
    // death test the second.
    RecordingBusServer server(dir.path());
    BoardSimbus first(server.path());
    first.lib_init();
    ASSERT_TRUE(server.waitForConnection(waitMs));
    // Not anchored at the end: a leak checker may add its own notes after the driver's line.
    const std::string expected = "^#ERROR: simulated bus \"[^\n]*\" is in use by another "
                                 "driver \\(pid " +
                                 std::to_string(::getpid()) + "\\)[^\n]*\n";
    EXPECT_EXIT(
        {
            BoardSimbus second(server.path());
            second.lib_init();
            std::exit(0);
        },
        testing::ExitedWithCode(1), expected.c_str());
    EXPECT_EQ(server.connections(), 1);
    // Let go, and the bus is free for the next driver.
    first.lib_deinit();
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
    // That driver starts its watcher thread in the forked child of a threaded process, which the
    // thread checker refuses and the leak checker comments on; the plain build checks it.
    return;
#endif
    EXPECT_EXIT(
        {
            BoardSimbus next(server.path());
            next.lib_init();
            std::exit(0);
        },
        testing::ExitedWithCode(0), "^$");
}
