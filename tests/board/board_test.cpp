// The board layer: the line set-up and pulses every pin-driven board shares, the do-nothing base
// board, the configured board's behaviour on a machine without the SPI device, one driver per
// bus, and the rate-limited report of failed hardware operations.

#include "board/board.h"
#include "board/boardconfigured.h"
#include "board/buslock.h"
#include "board/failurereport.h"
#include "support/consolecapture.h"
#include "support/recordingboard.h"

#include <QElapsedTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

QStringList writesOf(std::initializer_list<std::pair<int, int>> writes)
{
    QStringList lines;
    for (const auto &w : writes)
        lines << QStringLiteral("write %1=%2").arg(w.first).arg(w.second);
    return lines;
}

}  // namespace

TEST(PinBoardLines, GpioInitSetsUpEveryLineAndReleasesResetLast)
{
    RecordingBoard board;
    board.gpio_init();
    const QStringList expected = QStringList{QStringLiteral("mode 6"), QStringLiteral("write 6=0"),
                                             QStringLiteral("mode 15"), QStringLiteral("mode 16"),
                                             QStringLiteral("mode 13"), QStringLiteral("mode 10"),
                                             QStringLiteral("mode 9"),  QStringLiteral("mode 8"),
                                             QStringLiteral("mode 0"),  QStringLiteral("mode 7")} +
                                 writesOf({{15, 0}, {16, 0}, {13, 0}, {10, 0}, {9, 0}, {8, 0},
                                           {0, 0}, {7, 1}});
    EXPECT_EQ(board.log(), expected);
}

TEST(PinBoardLines, ChipSelectOfEachShieldDrivesItsPin)
{
    const std::array<quint8, 6> pins = {15, 16, 13, 10, 9, 8};
    using Setter = void (Board::*)(quint8);
    const std::array<Setter, 6> direct = {&Board::spi_set_cs0, &Board::spi_set_cs1,
                                          &Board::spi_set_cs2, &Board::spi_set_cs3,
                                          &Board::spi_set_cs4, &Board::spi_set_cs5};
    for (quint8 shield = 0; shield < 6; ++shield) {
        for (quint8 level : {1, 0}) {
            SCOPED_TRACE(testing::Message() << "shield " << int(shield) << " level " << int(level));
            RecordingBoard board;
            Board &asBoard = board;
            asBoard.spi_set_cs(shield, level);
            (asBoard.*direct[shield])(level);
            const RecordingBoard::PinWrite w{pins[shield], level};
            EXPECT_EQ(board.writes(), (QList<RecordingBoard::PinWrite>{w, w}));
        }
    }
}

TEST(PinBoardLines, ChipSelectAboveShieldFiveDrivesNothing)
{
    RecordingBoard board;
    for (int shield : {6, 7, 15, 255})
        board.spi_set_cs(static_cast<quint8>(shield), 1);
    EXPECT_TRUE(board.events().isEmpty()) << board.log().join(QLatin1Char('\n')).toStdString();
}

TEST(PinBoardLines, ResetAndDebugLines)
{
    RecordingBoard board;
    board.gpio_set_reset(0);
    board.gpio_set_debug(1);
    board.gpio_set_reset(1);
    board.gpio_set_debug(0);
    EXPECT_EQ(board.log(), writesOf({{7, 0}, {0, 1}, {7, 1}, {0, 0}}));
}

TEST(PinBoardLines, RestartPulsesResetThenLetsShieldsSettle)
{
    RecordingBoard board;
    board.restart();
    EXPECT_EQ(board.log(), (QStringList{QStringLiteral("write 7=0"), QStringLiteral("delay_ms 600"),
                                        QStringLiteral("write 7=1"),
                                        QStringLiteral("delay_ms 200")}));
}

TEST(PinBoardLines, DelaysReallyBlock)
{
    // The pin-driven boards' own delays (not the recording double's).
    struct SleepingBoard : PinBoard {
        void pinMode(quint8) override {}
        void digitalWrite(quint8, quint8) override {}
    } board;
    QElapsedTimer clock;
    clock.start();
    board.delay_ms(50);
    board.delay_us(20000);
    EXPECT_GE(clock.elapsed(), 70);
}

TEST(RecordingBoardScript, TransfersAnsweredFromQueueThenHandlerThenZeros)
{
    RecordingBoard board;
    board.queueReply(QByteArray("\x01\x02", 2));             // shorter: padded with zeros
    board.queueReply(QByteArray("\x0a\x0b\x0c\x0d\x0e", 5));  // longer: cut
    quint8 buffer[4];
    quint8 received[4];
    auto transfer = [&](quint8 fill) {
        std::fill(std::begin(buffer), std::end(buffer), fill);
        board.spi_transfer(buffer, received, 4);
        return QByteArray(reinterpret_cast<const char *>(received), 4);
    };
    EXPECT_EQ(transfer(0x11), QByteArray("\x01\x02\x00\x00", 4));
    EXPECT_EQ(transfer(0x22), QByteArray("\x0a\x0b\x0c\x0d", 4));
    EXPECT_EQ(transfer(0x33), QByteArray(4, '\0'));
    board.setReplyHandler([](const QByteArray &sent) { return sent.toUpper(); });
    std::memcpy(buffer, "ab#d", 4);
    board.spi_transfer(buffer, received, 4);
    EXPECT_EQ(QByteArray(reinterpret_cast<const char *>(received), 4), QByteArray("AB#D"));
    EXPECT_EQ(QByteArray(reinterpret_cast<const char *>(buffer), 4), QByteArray("AB#D"));
    EXPECT_EQ(board.transfers(), (QList<QByteArray>{QByteArray(4, '\x11'), QByteArray(4, '\x22'),
                                                    QByteArray(4, '\x33'), QByteArray("ab#d")}));
}

TEST(PlainBoard, EveryOperationDoesNothing)
{
    Board board;
    EXPECT_EQ(board.timerPeriodUs, 0u);
    quint8 buffer[4] = {1, 2, 3, 4};
    quint8 received[4] = {9, 9, 9, 9};
    QElapsedTimer clock;
    clock.start();
    board.lib_init();
    board.lib_deinit();
    board.gpio_init();
    board.gpio_set_reset(1);
    board.gpio_set_debug(1);
    board.spi_init();
    board.spi_deinit();
    board.spi_set_cs0(1);
    board.spi_set_cs1(1);
    board.spi_set_cs2(1);
    board.spi_set_cs3(1);
    board.spi_set_cs4(1);
    board.spi_set_cs5(1);
    board.spi_set_cs(0, 1);
    board.spi_transfer(buffer, received, 4);
    board.spi1_init();
    board.spi1_deinit();
    board.spi1_transfer(buffer, received, 4);
    board.restart();
    board.delay_ms(3000);
    board.delay_us(3000000);
    // Generous: a base that slept would take six seconds.
    EXPECT_LT(clock.elapsed(), 2500);
    EXPECT_EQ(QByteArray(reinterpret_cast<const char *>(buffer), 4), QByteArray("\x1\x2\x3\x4"));
    EXPECT_EQ(QByteArray(reinterpret_cast<const char *>(received), 4), QByteArray(4, '\x9'));
}

TEST(ConfiguredBoard, ConstructionSetsPacingAndChipSelectWriters)
{
    BoardConfigured board;
    EXPECT_EQ(board.timerPeriodUs, 16000u);
    for (auto writer : board.csWriters)
        EXPECT_NE(writer, nullptr);
    EXPECT_EQ(BoardConfigured::knownBoardNames(),
              (QStringList{QStringLiteral("opizero"), QStringLiteral("h3")}));
    EXPECT_EQ(BoardConfigured::defaultBoardName(), QStringLiteral("opizero"));
    EXPECT_TRUE(BoardConfigured::isKnownBoard(QStringLiteral("h3")));
    for (const char *name : {"nope", "", "H3", "opizero "})
        EXPECT_FALSE(BoardConfigured::isKnownBoard(QString::fromLatin1(name))) << name;
}

TEST(ConfiguredBoard, TransferWithoutDeviceClocksInZeros)
{
    // Unopened SPI device: nothing is clocked in, so both buffers hold zeros, never the bytes
    // sent (which the link would take for a shield's answer), and received changes in the
    // first `length` bytes only.
    for (quint16 length : {0, 1, 4, 8, 528}) {
        SCOPED_TRACE(testing::Message() << "length " << length);
        BoardConfigured board;
        QByteArray buffer(600, '\0');
        for (int i = 0; i < buffer.size(); ++i)
            buffer[i] = static_cast<char>(i * 7 + 1);
        const QByteArray sent = buffer;
        QByteArray received(600, '\x5a');
        board.spi_transfer(reinterpret_cast<quint8 *>(buffer.data()),
                           reinterpret_cast<quint8 *>(received.data()), length);
        EXPECT_EQ(buffer, QByteArray(length, '\0') + sent.mid(length));
        EXPECT_EQ(received, QByteArray(length, '\0') + QByteArray(600 - length, '\x5a'));
        EXPECT_EQ(board.transferFailures(), 0u);  // said once by spi_init, not per transfer
    }
}

TEST(ConfiguredBoard, AlternativeInterfaceLeavesTheBusClosedAndSaysSo)
{
    ConsoleCapture console;
    BoardConfigured board(QStringLiteral("h3"));
    board.spi1_init();
    quint8 buffer[3] = {0x0a, 0x01, 0x02};
    quint8 received[3] = {7, 7, 7};
    board.spi_transfer(buffer, received, 3);
    EXPECT_EQ(QByteArray(reinterpret_cast<const char *>(received), 3), QByteArray(3, '\0'));
    EXPECT_TRUE(console.out().isEmpty());
    ASSERT_EQ(console.err().size(), 1);
    EXPECT_TRUE(console.err().first().startsWith(QStringLiteral("#WARNING")));
    EXPECT_TRUE(console.err().first().contains(QStringLiteral("/dev/spidev0.0")));
}

TEST(ConfiguredBoard, ClosingTheBoardTwiceIsHarmless)
{
    // The host may go away at any time: the board is closed, and may be closed again when the
    // process ends; transfers after that clock in nothing.
    BoardConfigured board;
    board.spi_deinit();
    board.lib_deinit();
    board.spi_deinit();
    board.lib_deinit();
    quint8 buffer[2] = {1, 2};
    board.spi_transfer(buffer, buffer, 2);
    EXPECT_EQ(QByteArray(reinterpret_cast<const char *>(buffer), 2), QByteArray(2, '\0'));
}

TEST(ConfiguredBoard, SecondDriverOnTheSpiNodeEndsNamingTheHolder)
{
    // The lock is per process: this test process holds the node, the forked child of the
    // death test is the second driver.
    QTemporaryDir dir;
    const QString node = dir.filePath(QStringLiteral("spidev1.1"));
    QFile file(node);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    BusLock holder;
    ASSERT_TRUE(holder.lockFile(node, node));
    const std::string expected = "^#ERROR: SPI: [^\n]*" + node.toStdString() +
                                 " is in use by another driver \\(pid " +
                                 std::to_string(::getpid()) + "\\)[^\n]*\n$";
    EXPECT_EXIT(
        {
            BoardConfigured board(QStringLiteral("opizero"), node);
            board.spi_init();
            std::exit(0);
        },
        testing::ExitedWithCode(1), expected.c_str());
    // Once the holder lets go, the node is this driver's (a plain file: it cannot be set up).
    holder.release();
    EXPECT_EXIT(
        {
            BoardConfigured board(QStringLiteral("opizero"), node);
            board.spi_init();
            std::exit(0);
        },
        testing::ExitedWithCode(0), "cannot configure");
}

TEST(ConfiguredBoard, DeviceTreeChoosesThePinMapUnlessBoardIsGiven)
{
    struct Case {
        const char *name;
        const char *option;      // -board
        int root;                // which of the two roots holds the tree; -1: none
        QByteArray model;        // as the kernel gives it, NUL-terminated
        QByteArray compatible;   // NUL-separated entries
        const char *expected;    // the map; nullptr: no map, a problem naming -board
        const char *reason;      // part of the reason
    };
    const QByteArray zero("xunlong,orangepi-zero\0allwinner,sun8i-h2-plus\0", 46);
    const QByteArray pc("xunlong,orangepi-pc\0allwinner,sun8i-h3\0", 39);
    const Case cases[] = {
        {"no device tree", "", -1, {}, {}, "opizero", "no device tree"},
        {"Orange Pi Zero", "", 0, QByteArray("Xunlong Orange Pi Zero\0", 23), zero, "opizero",
         "allwinner,sun8i-h2-plus"},
        {"Orange Pi PC, second root", "", 1, QByteArray("Xunlong Orange Pi PC\0", 21), pc, "h3",
         "allwinner,sun8i-h3"},
        {"model only", "", 0, QByteArray("Some H3 board\0", 14), {}, "h3", "Some H3 board"},
        {"-board wins", "opizero", 0, {}, pc, "opizero", "-board"},
        {"another SoC", "", 0, QByteArray("Raspberry Pi 4 Model B\0", 23),
         QByteArray("raspberrypi,4-model-b\0brcm,bcm2711\0", 35), nullptr,
         "Raspberry Pi 4 Model B"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir dir;
        const QStringList roots = {dir.filePath(QStringLiteral("proc")),
                                   dir.filePath(QStringLiteral("sys"))};
        if (c.root >= 0) {
            ASSERT_TRUE(QDir().mkpath(roots.at(c.root)));
            for (const auto &property : {std::make_pair("model", c.model),
                                         std::make_pair("compatible", c.compatible)}) {
                if (property.second.isEmpty())
                    continue;
                QFile file(roots.at(c.root) + QLatin1Char('/') + QLatin1String(property.first));
                ASSERT_TRUE(file.open(QIODevice::WriteOnly));
                file.write(property.second);
            }
        }
        const BoardConfigured::Choice choice =
            BoardConfigured::chooseBoard(QString::fromLatin1(c.option), roots);
        EXPECT_EQ(choice.name, QString::fromLatin1(c.expected ? c.expected : ""));
        EXPECT_TRUE(choice.reason.contains(QLatin1String(c.reason))) << choice.reason;
        EXPECT_EQ(choice.problem.isEmpty(), c.expected != nullptr) << choice.problem;
        if (!c.expected) {
            EXPECT_TRUE(choice.problem.contains(QStringLiteral("-board"))) << choice.problem;
            EXPECT_TRUE(choice.problem.contains(QLatin1String(c.reason))) << choice.problem;
        }
    }
}

TEST(FailureReportTest, SaysItAtMostOncePerPeriodWithTheCount)
{
    struct Case {
        const char *name;
        std::chrono::milliseconds period;
        int failures;
        QStringList counts;     // the count text of each line written
        int flushAfterMs = -1;  // the transfer thread's flush that long after the burst
    };
    const Case cases[] = {
        {"one failure", std::chrono::hours(1), 1, {QStringLiteral("(1 failure since")}},
        // The first is said at once; the rest wait for a period that never ends in this test.
        {"a burst", std::chrono::hours(1), 50, {QStringLiteral("(1 failure since")}},
        // A period that has always passed: every failure gets its line, each counting one.
        {"no period",
         std::chrono::milliseconds(0),
         3,
         {QStringLiteral("(1 failure since"), QStringLiteral("(1 failure since"),
          QStringLiteral("(1 failure since")}},
        // A burst that stops is told by the flush once the period has passed, not before.
        {"a burst, flushed after the period",
         std::chrono::milliseconds(5000),
         50,
         {QStringLiteral("(1 failure since"), QStringLiteral("(49 failures since")},
         5000},
        {"a burst, flushed within the period",
         std::chrono::milliseconds(5000),
         50,
         {QStringLiteral("(1 failure since")},
         4999},
        {"one failure, flushed",
         std::chrono::milliseconds(0),
         1,
         {QStringLiteral("(1 failure since")},
         5000},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ConsoleCapture console;
        FailureReport report(QStringLiteral("SPI: transfer on /dev/spidev1.1"), c.period);
        const FailureReport::Clock::time_point burst{std::chrono::hours(1)};
        for (int i = 0; i < c.failures; ++i)
            report.failed(EIO, burst);
        if (c.flushAfterMs >= 0)
            report.flush(burst + std::chrono::milliseconds(c.flushAfterMs));
        EXPECT_EQ(report.total(), static_cast<quint64>(c.failures));
        EXPECT_TRUE(console.out().isEmpty());
        ASSERT_EQ(console.err().size(), c.counts.size());
        for (int i = 0; i < c.counts.size(); ++i) {
            const QString line = console.err().at(i);
            EXPECT_TRUE(line.startsWith(QStringLiteral(
                "#ERROR: SPI: transfer on /dev/spidev1.1 failed: Input/output error")))
                << line;
            EXPECT_TRUE(line.contains(c.counts.at(i))) << line;
        }
    }
}

TEST(FailureReportTest, TheNextLineCountsWhatThePeriodSwallowed)
{
    ConsoleCapture console;
    FailureReport report(QStringLiteral("GPIO: line write"), std::chrono::milliseconds(200));
    for (int i = 0; i < 5; ++i)
        report.failed(EBUSY);
    // Generous: only "at least one period later" matters.
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    report.failed(EBUSY);
    ASSERT_EQ(console.err().size(), 2);
    EXPECT_TRUE(console.err().at(0).contains(QStringLiteral("(1 failure since")));
    EXPECT_TRUE(console.err().at(1).contains(QStringLiteral("(5 failures since")));
}

TEST(ConfiguredBoard, UnusableSpiDeviceIsReportedOnceAndTransfersGoOn)
{
    struct Case {
        const char *board;
        const char *spidev;
        const char *reported;  // the device named in the error line
        const char *problem;
    };
    static const char deniedNode[] = "/sys/kernel/uevent_seqnum";
    const Case cases[] = {
        {"opizero", "", "/dev/spidev1.1", "cannot open"},
        {"h3", "", "/dev/spidev0.0", "cannot open"},
        {"h3", "/nonexistent/spidev9.9", "/nonexistent/spidev9.9", "cannot open"},
        // Opens, but is no SPI device: the set-up fails.
        {"opizero", "/dev/null", "/dev/null", "cannot configure"},
        // Refused even to root (a read-only kernel attribute opened for writing), as a spidev
        // node is to a user outside the group: the line names the group.
        {"h3", deniedNode, deniedNode, "cannot open"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.reported);
        if (QFileInfo::exists(QString::fromLatin1(c.reported)) && c.spidev[0] == '\0')
            continue;  // on the board itself the usual device is there
        const bool denied = c.spidev == deniedNode;
        if (denied) {
            const int fd = ::open(deniedNode, O_RDWR | O_CLOEXEC);
            const int error = errno;
            if (fd >= 0)
                ::close(fd);
            if (fd >= 0 || error != EACCES)
                continue;  // /sys mounted read-only, or another kernel
        }
        ConsoleCapture console;
        BoardConfigured board(QString::fromLatin1(c.board), QString::fromLatin1(c.spidev));
        board.spi_init();
        EXPECT_TRUE(console.out().isEmpty());
        ASSERT_EQ(console.err().size(), 1);
        const QString line = console.err().first();
        EXPECT_TRUE(line.startsWith(QStringLiteral("#ERROR")));
        EXPECT_TRUE(line.contains(QLatin1String(c.reported))) << line.toStdString();
        EXPECT_TRUE(line.contains(QLatin1String(c.problem))) << line.toStdString();
        EXPECT_EQ(line.endsWith(QLatin1String("; is the user in the group stm-driver?")), denied)
            << line.toStdString();

        // No shield answers: zeros, not the bytes sent.
        quint8 buffer[3] = {0x0a, 0x01, 0x02};
        quint8 received[3] = {5, 5, 5};
        board.spi_transfer(buffer, received, 3);
        EXPECT_EQ(QByteArray(reinterpret_cast<const char *>(received), 3), QByteArray(3, '\0'));
    }
}

TEST(ConfiguredBoard, LinesWithoutGpioChipAreQuiet)
{
    // Before lib_init (or when it could not open the chip) the line operations drive nothing
    // and report nothing.
    ConsoleCapture console;
    BoardConfigured board;
    board.gpio_init();
    for (quint8 s = 0; s < 8; ++s)
        board.spi_set_cs(s, 1);
    board.gpio_set_debug(1);
    board.gpio_set_reset(0);
    EXPECT_TRUE(console.out().isEmpty());
    EXPECT_TRUE(console.err().isEmpty());
}
