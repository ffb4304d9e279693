#pragma once
// The process-wide console streams. Owned by no thread: every thread writes through them.
// A line is always written whole: one lock is held per complete line, so lines of different
// threads never interleave, and each line reaches its file descriptor with a single flush.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTextStream>

#include "base/pimutex.h"

#include <functional>

namespace Console {

class LineStream
{
public:
    explicit LineStream(int fd);

    // Writes text and an end-of-line as one whole line, flushed at once.
    void line(const QString &text);
    // Writes an empty line.
    void line() { line(QString()); }
    // Writes several lines as one block that no other thread's line can split.
    void lines(const QStringList &texts);

    // Redirects the lines of this stream to a function instead of the file descriptor (for tests
    // and tools); an empty function restores the file descriptor.
    void setSink(std::function<void(const QByteArray &)> sink);

    // Called once, in the writing thread and outside the lock, when a write to the descriptor
    // fails because nobody reads it any more (EPIPE); at once if that happened before. The
    // handler may write lines itself, but must not wait for the writing thread: it can be any.
    void setBrokenPipeHandler(std::function<void()> handler);

private:
    // Hands whole lines to the sink or the descriptor, under the lock.
    void put(const QByteArray &bytes);
    // False when the reader has gone.
    bool writeAll(const QByteArray &bytes);
    // Under the lock: the handler to call now, if the break is not yet reported.
    std::function<void()> takeBrokenPipeHandler();

    // Guards fd writes, sink and the broken-pipe fields; held for one line. Priority-inheriting:
    // every thread writes lines, the real-time transfer thread among them.
    PiMutex mutex;
    int fd;
    std::function<void(const QByteArray &)> sink;
    std::function<void()> brokenPipeHandler;
    bool broken = false;          // a write found no reader
    bool brokenReported = false;  // the handler has been called
};

extern QTextStream in;  // standard input, read by the console reader only
extern LineStream out;  // standard output: the host protocol, nothing else
extern LineStream err;  // standard error: the diagnostic log

}  // namespace Console
