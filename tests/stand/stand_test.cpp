// The bench echo loop: a start gives exactly two 4-byte transfers, each sending back what the one
// before received (across starts too), then the loop stops by itself; with "-spi 1" it touches
// no bus.

#include "board/board.h"
#include "config/settings.h"
#include "stand/stand.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>

namespace {

const int generousMs = 5000;
const int quietMs = 100;

bool pumpUntil(const std::function<bool()> &done, int timeoutMs = generousMs)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

void pumpFor(int ms)
{
    pumpUntil([] { return false; }, ms);
}

// A bus that answers each transfer from a script (zeros when it runs out) and, unlike the real
// one, leaves the transmit buffer alone: the loop must carry the received bytes over itself.
class ScriptedBoard : public Board
{
public:
    void spi_transfer(quint8 *buffer, quint8 *received, quint16 length) override
    {
        sent << QByteArray(reinterpret_cast<const char *>(buffer), length);
        QByteArray answer = replies.isEmpty() ? QByteArray() : replies.takeFirst();
        answer.append(QByteArray(length, '\0'));
        std::memcpy(received, answer.constData(), length);
    }

    QList<QByteArray> replies;
    QList<QByteArray> sent;
};

QByteArray bytes4(quint8 a, quint8 b, quint8 c, quint8 d)
{
    const quint8 bytes[4] = {a, b, c, d};
    return QByteArray(reinterpret_cast<const char *>(bytes), 4);
}

QByteArray firstFour(const std::array<quint8, 128> &buffer)
{
    return QByteArray(reinterpret_cast<const char *>(buffer.data()), 4);
}

bool allZero(const std::array<quint8, 128> &buffer)
{
    return std::all_of(buffer.begin(), buffer.end(), [](quint8 b) { return b == 0; });
}

TEST(StandLoop, AStartGivesTwoEchoPassesThenStops)
{
    Settings settings;
    ScriptedBoard board;
    board.replies << bytes4(0x11, 0x22, 0x33, 0x44);
    board.replies << bytes4(0x55, 0x66, 0x77, 0x88);
    board.replies << bytes4(0x99, 0xAA, 0xBB, 0xCC);
    Stand stand(nullptr, &settings, &board);
    EXPECT_FALSE(stand.isRunning());

    QElapsedTimer elapsed;
    elapsed.start();
    stand.start_spi_loop();
    EXPECT_TRUE(stand.isRunning());
    ASSERT_TRUE(pumpUntil([&] { return !stand.isRunning(); }));
    EXPECT_GE(elapsed.elapsed(), 8) << "two passes of about 5 ms each";
    pumpFor(quietMs);
    // The buffers start as zeros, so the first pass sends zeros; the second echoes the first.
    EXPECT_EQ(board.sent, (QList<QByteArray>{bytes4(0, 0, 0, 0), bytes4(0x11, 0x22, 0x33, 0x44)}));
    EXPECT_EQ(firstFour(stand.getReceived()), bytes4(0x55, 0x66, 0x77, 0x88));

    // The next start goes on from what the last pass received.
    board.sent.clear();
    stand.start_spi_loop();
    ASSERT_TRUE(pumpUntil([&] { return !stand.isRunning(); }));
    pumpFor(quietMs);
    EXPECT_EQ(board.sent,
              (QList<QByteArray>{bytes4(0x55, 0x66, 0x77, 0x88), bytes4(0x99, 0xAA, 0xBB, 0xCC)}));
    EXPECT_EQ(firstFour(stand.getReceived()), bytes4(0, 0, 0, 0));
}

TEST(StandLoop, TheSecondPassEndsTheLoopHoweverItIsReached)
{
    Settings settings;
    ScriptedBoard board;
    Stand stand(nullptr, &settings, &board);

    // Two passes called directly count like timed ones: the running loop stops at once.
    stand.start_spi_loop();
    stand.spi_loop_txrx();
    stand.spi_loop_txrx();
    EXPECT_FALSE(stand.isRunning());
    pumpFor(quietMs);
    EXPECT_EQ(board.sent.size(), 2);

    // And they leave the pass count at zero, so the next start again gives two passes.
    board.sent.clear();
    stand.start_spi_loop();
    ASSERT_TRUE(pumpUntil([&] { return !stand.isRunning(); }));
    pumpFor(quietMs);
    EXPECT_EQ(board.sent.size(), 2);

    // One direct pass counts as the first pass of the next start.
    board.sent.clear();
    stand.spi_loop_txrx();
    stand.start_spi_loop();
    ASSERT_TRUE(pumpUntil([&] { return !stand.isRunning(); }));
    pumpFor(quietMs);
    EXPECT_EQ(board.sent.size(), 2);
}

TEST(StandLoop, WithSpiOffBothPassesRunWithoutTouchingTheBus)
{
    Settings settings;
    ScriptedBoard board;
    board.replies << bytes4(0x11, 0x22, 0x33, 0x44) << bytes4(0x55, 0x66, 0x77, 0x88);
    Stand stand(nullptr, &settings, &board);
    stand.start_spi_loop();
    ASSERT_TRUE(pumpUntil([&] { return !stand.isRunning(); }));
    ASSERT_EQ(firstFour(stand.getReceived()), bytes4(0x55, 0x66, 0x77, 0x88));

    // What the bus last gave is cleared pass by pass and nothing new comes in.
    board.sent.clear();
    settings.spi = 1;
    stand.start_spi_loop();
    ASSERT_TRUE(pumpUntil([&] { return !stand.isRunning(); }));
    pumpFor(quietMs);
    EXPECT_TRUE(board.sent.isEmpty());
    EXPECT_TRUE(allZero(stand.getReceived()));
    EXPECT_TRUE(allZero(stand.getWork()));
}

}  // namespace
