// Console lines reach a host that reads slowly: nothing is dropped when the descriptor is
// non-blocking and its pipe is full.

#include "base/console.h"
#include "support/consolecapture.h"

#include <gtest/gtest.h>

#include <chrono>
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
