// Console lines reach a host that reads slowly: nothing is dropped when the descriptor is
// non-blocking and its pipe is full, and a reader that stops makes the queue grow, not the writers
// wait, up to a hard bound past which lines are counted instead. A host that no longer reads is
// reported once; a descriptor that fails otherwise keeps its lines until it works again.

#include "base/console.h"
#include "support/consolecapture.h"

#include <QRegularExpression>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <string>
#include <thread>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Polls `cond` until it holds, for at most ten seconds.
template <typename Cond>
bool waitUntilTrue(Cond cond)
{
    for (int i = 0; i < 1000 && !cond(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return cond();
}

}  // namespace

TEST(ConsoleOutput, FullNonBlockingPipeDelaysTheLineInsteadOfDroppingIt)
{
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ASSERT_EQ(::fcntl(fds[1], F_SETFL, ::fcntl(fds[1], F_GETFL) | O_NONBLOCK), 0);
    // Fill the pipe to the brim.
    const std::string filler(4096, 'f');
    size_t buffered = 0;
    for (;;) {
        const ssize_t n = ::write(fds[1], filler.data(), filler.size());
        if (n <= 0)
            break;
        buffered += static_cast<size_t>(n);
    }
    ASSERT_EQ(errno, EAGAIN);

    Console::LineStream stream(fds[1]);
    const QString text = QStringLiteral("dial 300 ") + QString(10000, QLatin1Char('x'));
    std::thread writer([&] { stream.line(text); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

    std::string all;
    std::thread reader = readPipeInto(fds[0], all);
    writer.join();
    ASSERT_TRUE(stream.flush(std::chrono::seconds(30)));
    ::close(fds[1]);
    reader.join();
    ::close(fds[0]);

    ASSERT_EQ(all.size(), buffered + static_cast<size_t>(text.size()) + 1);
    EXPECT_EQ(all.substr(buffered), text.toStdString() + "\n");
}

namespace {

struct BrokenPipeRow {
    const char *name;
    bool readerGone;         // the read end is closed before the lines
    bool badDescriptor;      // writes fail, but not for want of a reader
    bool installAfterLines;  // the handler comes only after the lines were written
    int calls;
};

}  // namespace

TEST(ConsoleOutput, ReaderGoneIsReportedOnceOutsideTheLock)
{
    std::signal(SIGPIPE, SIG_IGN);  // as in the driver: the failure shows as EPIPE
    ConsoleCapture capture;         // the bad descriptor's warning
    const BrokenPipeRow rows[] = {
        {"reader gone", true, false, false, 1},
        {"reader gone before the handler", true, false, true, 1},
        {"reader present", false, false, false, 0},
        {"bad descriptor", false, true, false, 0},
    };
    for (const BrokenPipeRow &row : rows) {
        SCOPED_TRACE(row.name);
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        if (row.readerGone)
            ::close(fds[0]);
        Console::LineStream stream(row.badDescriptor ? -1 : fds[1]);
        std::atomic<int> calls{0};
        // The handler may write itself: it is called without the stream's lock.
        auto handler = [&] {
            ++calls;
            stream.line(QStringLiteral("after"));
        };
        if (!row.installAfterLines)
            stream.setBrokenPipeHandler(handler);
        std::thread other([&] {
            for (int i = 0; i < 20; ++i)
                stream.line(QStringLiteral("from another thread"));
        });
        for (int i = 0; i < 20; ++i)
            stream.line(QStringLiteral("dial 300"));
        other.join();
        if (row.installAfterLines)
            stream.setBrokenPipeHandler(handler);
        stream.line(QStringLiteral("one more"));
        // A bad descriptor is no missing reader: its lines wait for it (until the stream ends).
        EXPECT_EQ(stream.flush(row.badDescriptor ? std::chrono::milliseconds(100)
                                                 : std::chrono::milliseconds(30000)),
                  !row.badDescriptor);
        EXPECT_EQ(calls, row.calls);
        stream.setBrokenPipeHandler({});
        ::close(fds[1]);
        if (!row.readerGone)
            ::close(fds[0]);
    }
}

// A reader that stops never stops the writers: the queue grows instead. Standard output's keeps
// its lines and says when it is over its bound; past four times the bound it keeps no more and
// standard error counts them once the queue is back under its bound. Standard error's keeps its
// newest lines and, where the others went missing, says how many.
TEST(ConsoleOutput, StoppedReaderGrowsTheQueueAndNeverTheWait)
{
    using Overflow = Console::LineStream::Overflow;
    for (const Overflow overflow : {Overflow::Keep, Overflow::DropOldest}) {
        SCOPED_TRACE(overflow == Overflow::Keep ? "keep" : "drop oldest");
        ConsoleCapture capture;
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        ::fcntl(fds[1], F_SETPIPE_SZ, 4096);
        const qint64 bound = 16 * 1024;
        Console::LineStream stream(fds[1], bound, overflow);
        const int count = 10000;  // some 100 kB
        qint64 queuedAtFirstRefusal = -1;
        for (int n = 0; n < count; ++n) {
            stream.line(QStringLiteral("line %1").arg(n));
            if (queuedAtFirstRefusal < 0 && stream.refusedLines() != 0)
                queuedAtFirstRefusal = stream.queuedBytes();
        }
        if (overflow == Overflow::Keep) {
            EXPECT_TRUE(stream.overBound());
            // Events stop at the bound, long before anything is refused.
            EXPECT_GT(queuedAtFirstRefusal, 3 * bound);
            EXPECT_LE(stream.queuedBytes(), 4 * bound);
        } else {
            EXPECT_LE(stream.queuedBytes(), bound + 100);  // the newest line, the notice
            EXPECT_EQ(stream.refusedLines(), 0u);
        }

        std::string all;
        std::thread reader = readPipeInto(fds[0], all);
        ASSERT_TRUE(stream.flush(std::chrono::seconds(30)));
        EXPECT_EQ(stream.queuedBytes(), 0);
        EXPECT_EQ(stream.stalledMs(), 0);
        ::close(fds[1]);
        reader.join();
        ::close(fds[0]);

        // Each line that comes has every line before it either come or told as dropped; standard
        // output's lines come in order, and those not kept (wherever the writer made room again)
        // are counted on standard error, once.
        const QRegularExpression notice(
            QStringLiteral("^#WARNING: standard error was not read: (\\d+) older lines dropped$"));
        const QRegularExpression refused(
            QStringLiteral("^#WARNING: descriptor \\d+ was not read: (\\d+) lines other than "
                           "events were not kept \\(the events waited in the shields\\)$"));
        int accounted = 0;
        int came = 0;
        for (const QString &line :
             QString::fromStdString(all).split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
            const QRegularExpressionMatch m = notice.match(line);
            if (m.hasMatch()) {
                accounted += m.captured(1).toInt();
            } else {
                const int n = overflow == Overflow::Keep ? line.mid(5).toInt() : accounted;
                ASSERT_GE(n, accounted);
                ASSERT_EQ(line, QStringLiteral("line %1").arg(n));
                accounted = n + 1;
                ++came;
            }
        }
        EXPECT_LT(came, count);
        if (overflow == Overflow::Keep) {
            ASSERT_TRUE(waitUntilTrue([&] { return !capture.err().isEmpty(); }));
            ASSERT_EQ(capture.err().size(), 1) << capture.err().join('\n');
            const QRegularExpressionMatch m = refused.match(capture.err().first());
            ASSERT_TRUE(m.hasMatch()) << capture.err().first();
            EXPECT_EQ(m.captured(1).toULongLong(), stream.refusedLines());
            EXPECT_EQ(came + m.captured(1).toInt(), count);
        } else {
            EXPECT_EQ(accounted, count);
        }
    }
}

// A descriptor that fails for a reason other than a missing reader (here a full disk; an I/O
// error or a closed descriptor go the same way) is a reader that does not read: the lines wait,
// the host's events with them (overBound), standard error says why once, and when a write works
// again (a pipe put in its place) every line comes, in order.
TEST(ConsoleOutput, ADescriptorThatFailsKeepsItsLinesUntilItWorksAgain)
{
    ConsoleCapture capture;
    const int fd = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    Console::LineStream stream(fd);
    stream.setRetryInterval(10);
    std::string expected;
    for (int n = 0; n < 100; ++n) {
        stream.line(QStringLiteral("dial %1").arg(n));
        expected += "dial " + std::to_string(n) + "\n";
    }
    ASSERT_TRUE(waitUntilTrue([&] { return stream.writeError() == ENOSPC; }));
    EXPECT_TRUE(stream.overBound()) << "events wait in their shields";
    EXPECT_FALSE(stream.flush(std::chrono::milliseconds(200))) << "tried again, still failing";
    const QString told = QStringLiteral(
                             "#WARNING: descriptor %1 cannot be written (%2): its lines "
                             "are kept, and the shields keep their events until it can")
                             .arg(fd)
                             .arg(QString::fromLocal8Bit(std::strerror(ENOSPC)));
    EXPECT_EQ(capture.err(), QStringList{told});

    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ASSERT_EQ(::dup2(fds[1], fd), fd);
    ::close(fds[1]);
    std::string all;
    std::thread reader = readPipeInto(fds[0], all);
    ASSERT_TRUE(stream.flush(std::chrono::seconds(30)));
    EXPECT_FALSE(stream.overBound());
    ::close(fd);
    reader.join();
    ::close(fds[0]);
    EXPECT_EQ(all, expected);
    ASSERT_TRUE(waitUntilTrue([&] { return capture.err().size() == 2; }));
    EXPECT_EQ(capture.err().last(),
              QStringLiteral("#WARNING: descriptor %1 is written again").arg(fd));
}
