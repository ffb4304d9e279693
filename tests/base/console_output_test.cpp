// Console lines reach a host that reads slowly: nothing is dropped when the descriptor is
// non-blocking and its pipe is full. A host that no longer reads is reported once.

#include "base/console.h"
#include "support/consolecapture.h"

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
        EXPECT_EQ(calls, row.calls);
        stream.setBrokenPipeHandler({});
        ::close(fds[1]);
        if (!row.readerGone)
            ::close(fds[0]);
    }
}
