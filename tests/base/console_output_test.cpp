// Console lines reach a host that reads slowly: nothing is dropped when the descriptor is
// non-blocking and its pipe is full, and a reader that stops makes the queue grow, not the writers
// wait. A host that no longer reads is reported once.

#include "base/console.h"
#include "support/consolecapture.h"

#include <QRegularExpression>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <string>
#include <thread>
#include <unistd.h>

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
    bool readerGone;        // the read end is closed before the lines
    bool badDescriptor;     // writes fail, but not for want of a reader
    bool installAfterLines; // the handler comes only after the lines were written
    int calls;
};

}  // namespace

TEST(ConsoleOutput, ReaderGoneIsReportedOnceOutsideTheLock)
{
    std::signal(SIGPIPE, SIG_IGN);  // as in the driver: the failure shows as EPIPE
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
        ASSERT_TRUE(stream.flush(std::chrono::seconds(30)));
        EXPECT_EQ(calls, row.calls);
        stream.setBrokenPipeHandler({});
        ::close(fds[1]);
        if (!row.readerGone)
            ::close(fds[0]);
    }
}

// A reader that stops never stops the writers: the queue grows instead. Standard output's keeps
// every line and says when it is over its bound; standard error's keeps its newest lines and,
// where the others went missing, says how many.
TEST(ConsoleOutput, StoppedReaderGrowsTheQueueAndNeverTheWait)
{
    using Overflow = Console::LineStream::Overflow;
    for (const Overflow overflow : {Overflow::Keep, Overflow::DropOldest}) {
        SCOPED_TRACE(overflow == Overflow::Keep ? "keep" : "drop oldest");
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        ::fcntl(fds[1], F_SETPIPE_SZ, 4096);
        const qint64 bound = 16 * 1024;
        Console::LineStream stream(fds[1], bound, overflow);
        const int count = 5000;  // some 50 kB
        for (int n = 0; n < count; ++n)
            stream.line(QStringLiteral("line %1").arg(n));
        if (overflow == Overflow::Keep)
            EXPECT_TRUE(stream.overBound());
        else
            EXPECT_LE(stream.queuedBytes(), bound + 100);  // the newest line, the notice

        std::string all;
        std::thread reader = readPipeInto(fds[0], all);
        ASSERT_TRUE(stream.flush(std::chrono::seconds(30)));
        EXPECT_EQ(stream.queuedBytes(), 0);
        EXPECT_EQ(stream.stalledMs(), 0);
        ::close(fds[1]);
        reader.join();
        ::close(fds[0]);

        // Each line that comes has every line before it either come or told as dropped.
        const QRegularExpression notice(
            QStringLiteral("^#WARNING: standard error was not read: (\\d+) older lines dropped$"));
        int accounted = 0;
        int came = 0;
        for (const QString &line :
             QString::fromStdString(all).split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
            const QRegularExpressionMatch m = notice.match(line);
            if (m.hasMatch()) {
                accounted += m.captured(1).toInt();
            } else {
                ASSERT_EQ(line, QStringLiteral("line %1").arg(accounted++));
                ++came;
            }
        }
        EXPECT_EQ(accounted, count);
        EXPECT_EQ(came < count, overflow == Overflow::DropOldest);
    }
}
