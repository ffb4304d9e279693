#include "base/console.h"

#include <cerrno>
#include <cstdio>
#include <poll.h>
#include <unistd.h>

namespace Console {

QTextStream in(stdin, QIODevice::ReadOnly);
LineStream out(STDOUT_FILENO);
LineStream err(STDERR_FILENO);

LineStream::LineStream(int fd) : fd(fd) {}

void LineStream::line(const QString &text)
{
    QByteArray bytes = text.toUtf8();
    bytes.append('\n');
    put(bytes);
}

void LineStream::lines(const QStringList &texts)
{
    QByteArray bytes;
    for (const QString &text : texts) {
        bytes.append(text.toUtf8());
        bytes.append('\n');
    }
    put(bytes);
}

void LineStream::put(const QByteArray &bytes)
{
    std::function<void()> onBroken;
    {
        std::lock_guard<PiMutex> lock(mutex);
        if (sink) {
            sink(bytes);
        } else if (!writeAll(bytes)) {
            broken = true;
            onBroken = takeBrokenPipeHandler();
        }
    }
    if (onBroken)
        onBroken();
}

void LineStream::setSink(std::function<void(const QByteArray &)> newSink)
{
    std::lock_guard<PiMutex> lock(mutex);
    sink = std::move(newSink);
}

void LineStream::setBrokenPipeHandler(std::function<void()> handler)
{
    std::function<void()> onBroken;
    {
        std::lock_guard<PiMutex> lock(mutex);
        brokenPipeHandler = std::move(handler);
        if (broken)
            onBroken = takeBrokenPipeHandler();
    }
    if (onBroken)
        onBroken();
}

std::function<void()> LineStream::takeBrokenPipeHandler()
{
    if (brokenReported || !brokenPipeHandler)
        return {};
    brokenReported = true;
    return brokenPipeHandler;
}

bool LineStream::writeAll(const QByteArray &bytes)
{
    const char *data = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, static_cast<size_t>(left));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                // A descriptor the host made non-blocking: wait for room rather than drop the
                // rest of a protocol line.
                pollfd room = {fd, POLLOUT, 0};
                if (::poll(&room, 1, -1) >= 0 || errno == EINTR)
                    continue;
            }
            // The reader is gone (EPIPE, SIGPIPE being ignored) or the descriptor is unusable;
            // the line is lost either way, only a missing reader is reported.
            return errno != EPIPE;
        }
        data += written;
        left -= written;
    }
    return true;
}

}  // namespace Console
