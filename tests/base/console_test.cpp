// Console lines stay whole when many threads write at once: through a real pipe, every line read
// back is one complete line of one writer, blocks stay together, and nothing is lost.

#include "base/console.h"
#include "support/consolecapture.h"

#include <QStringList>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>
#include <unistd.h>

namespace {

const int writers = 6;
const int linesPerWriter = 300;

// Longer than the pipe writes the kernel keeps whole (4096 bytes): only the stream's own lock
// keeps such lines apart.
QString lineOf(int writer, int n)
{
    return QStringLiteral("w%1 n%2 ").arg(writer).arg(n) + QString(5000, QLatin1Char('a' + writer));
}

}  // namespace

TEST(ConsoleLines, ConcurrentWritersNeverInterleaveLinesOrBlocks)
{
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    // A bound whose hard bound (four times) holds all 9 MB: the writers may run far ahead of the
    // reader, and what lies past the hard bound is another test's subject.
    Console::LineStream stream(fds[1], 4 * 1024 * 1024);

    std::string all;
    std::thread reader = readPipeInto(fds[0], all);

    std::vector<std::thread> threads;
    for (int w = 0; w < writers; ++w) {
        threads.emplace_back([w, &stream] {
            for (int n = 0; n < linesPerWriter; ++n) {
                if (n % 10 == 0)
                    stream.lines({lineOf(w, n), QStringLiteral("block w%1 n%2").arg(w).arg(n)});
                else
                    stream.line(lineOf(w, n));
            }
        });
    }
    for (auto &t : threads)
        t.join();
    ASSERT_TRUE(stream.flush(std::chrono::seconds(60)));
    ::close(fds[1]);
    reader.join();
    ::close(fds[0]);

    const QStringList lines = QString::fromStdString(all).split(QLatin1Char('\n'));
    ASSERT_EQ(lines.last(), QString());
    std::vector<int> next(writers, 0);
    for (int i = 0; i + 1 < lines.size(); ++i) {
        const QString &line = lines.at(i);
        const int w = line.mid(1, line.indexOf(QLatin1Char(' ')) - 1).toInt();
        ASSERT_TRUE(w >= 0 && w < writers) << line.toStdString();
        const int n = next[static_cast<size_t>(w)]++;
        ASSERT_EQ(line, lineOf(w, n)) << "line " << i;
        if (n % 10 == 0) {
            // The second line of a block follows its first at once.
            ASSERT_EQ(lines.value(i + 1), QStringLiteral("block w%1 n%2").arg(w).arg(n));
            ++i;
        }
    }
    for (int w = 0; w < writers; ++w)
        EXPECT_EQ(next[static_cast<size_t>(w)], linesPerWriter) << "writer " << w;
}
