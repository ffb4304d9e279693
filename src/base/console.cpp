#include "base/console.h"

#include <QIODevice>
#include <QtGlobal>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/uio.h>
#include <unistd.h>

namespace Console {

namespace {

// STM_HOST_QUEUE_BYTES in the environment lowers the bound of standard output (for tests, which
// cannot make a megabyte of host lines in reasonable time).
qint64 hostBound()
{
    bool ok = false;
    const int bytes = qEnvironmentVariableIntValue("STM_HOST_QUEUE_BYTES", &ok);
    return ok && bytes > 0 ? bytes : LineStream::outBound;
}

qint64 nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Pieces of one writev(2) call; the kernel takes at most IOV_MAX (1024).
constexpr size_t maxPieces = 256;

// Set in a child of fork() (a test's death case, a program about to exec): the writer threads
// stayed behind in the parent, and their lines with them.
std::atomic<bool> forkedChild{false};
[[maybe_unused]] const int atFork = pthread_atfork(nullptr, nullptr, [] { forkedChild = true; });

}  // namespace

QTextStream in(stdin, QIODevice::ReadOnly);
LineStream out(STDOUT_FILENO, hostBound(), LineStream::Overflow::Keep);
LineStream err(STDERR_FILENO, LineStream::errBound, LineStream::Overflow::DropOldest);

LineStream::LineStream(int fd, qint64 bound, Overflow overflow)
    : fd(fd), overflow(overflow), bound(bound)
{}

LineStream::~LineStream()
{
    {
        std::lock_guard<PiMutex> lock(mutex);
        stopping = true;
    }
    wake.notify_one();
    if (writerStarted && !forkedChild)
        pthread_join(writer, nullptr);
}

void LineStream::line(const QString &text)
{
    QByteArray bytes = text.toUtf8();
    bytes.append('\n');
    put(std::move(bytes));
}

void LineStream::lines(const QStringList &texts)
{
    QByteArray bytes;
    for (const QString &text : texts) {
        bytes.append(text.toUtf8());
        bytes.append('\n');
    }
    put(std::move(bytes));
}

qint64 LineStream::stalledMs() const
{
    if (queuedBytes() == 0)
        return 0;
    return std::max<qint64>(0, nowMs() - stalledSinceMs.load(std::memory_order_relaxed));
}

void LineStream::put(QByteArray bytes)
{
    std::lock_guard<PiMutex> lock(mutex);
    if (sink) {
        sink(bytes);
        return;
    }
    if (broken || bytes.isEmpty())
        return;  // nobody reads any more: the line goes with the reader
    const qint64 size = bytes.size();
    if (!writerThere()) {
        queued.fetch_add(size, std::memory_order_relaxed);
        write({std::move(bytes)});
        return;
    }
    if (queued.fetch_add(size, std::memory_order_relaxed) == 0)
        stalledSinceMs.store(nowMs(), std::memory_order_relaxed);
    pending.push_back(std::move(bytes));
    pendingBytes += size;
    madeBytes += static_cast<quint64>(size);
    if (overflow == Overflow::DropOldest)
        dropOldest();
    if (writerIdle)
        wake.notify_one();
}

bool LineStream::writerThere()
{
    if (forkedChild)
        return false;
    if (!writerStarted) {
        const auto run = [](void *stream) -> void * {
            static_cast<LineStream *>(stream)->run();
            return nullptr;
        };
        writerStarted = pthread_create(&writer, nullptr, run, this) == 0;
    }
    return writerStarted;
}

void LineStream::dropOldest()
{
    // What the writer has in hand counts too: the stream never holds much more than its bound.
    const qint64 limit = bound.load(std::memory_order_relaxed);
    while (queued.load(std::memory_order_relaxed) > limit && pending.size() > 1) {
        const qint64 size = pending.front().size();
        pending.pop_front();
        pendingBytes -= size;
        queued.fetch_sub(size, std::memory_order_relaxed);
        handledBytes += static_cast<quint64>(size);
        ++droppedLines;
    }
}

void LineStream::run()
{
    // Started by whichever thread wrote first, perhaps the real-time transfer thread: the writer
    // itself runs at normal priority, below the bus.
    const sched_param normal{};
    pthread_setschedparam(pthread_self(), SCHED_OTHER, &normal);
    pthread_setname_np(pthread_self(), fd == STDERR_FILENO ? "stm-stderr" : "stm-stdout");

    std::unique_lock<PiMutex> lock(mutex);
    for (;;) {
        writerIdle = true;
        wake.wait(lock, [this] { return !pending.empty() || stopping; });
        writerIdle = false;
        if (pending.empty())
            return;  // stopping, and everything is written
        std::deque<QByteArray> batch;
        batch.swap(pending);
        const qint64 batchBytes = pendingBytes;
        pendingBytes = 0;
        if (droppedLines != 0) {
            // Told where the lines went missing, before the ones that survived.
            const QByteArray notice =
                QStringLiteral("#WARNING: standard error was not read: %1 older lines dropped\n")
                    .arg(droppedLines)
                    .toUtf8();
            droppedLines = 0;
            queued.fetch_add(notice.size(), std::memory_order_relaxed);
            batch.push_front(notice);
        }
        lock.unlock();
        const Outcome outcome = write(batch);
        lock.lock();

        if (outcome == Outcome::ReaderGone) {
            broken = true;  // from now on lines are discarded as they come
            queued.fetch_sub(pendingBytes, std::memory_order_relaxed);
            handledBytes += static_cast<quint64>(pendingBytes);
            pending.clear();
            pendingBytes = 0;
            if (const std::function<void()> onBroken = takeBrokenPipeHandler()) {
                lock.unlock();
                onBroken();
                lock.lock();
            }
        }
        // Only now: a flush() that returns has seen the break reported.
        handledBytes += static_cast<quint64>(batchBytes);
        written.notify_all();
    }
}

LineStream::Outcome LineStream::write(const std::deque<QByteArray> &batch)
{
    qint64 left = 0;
    for (const QByteArray &bytes : batch)
        left += bytes.size();
    size_t first = 0;   // the first line not wholly written
    qint64 offset = 0;  // bytes of it already written
    while (first < batch.size()) {
        iovec pieces[maxPieces];
        int count = 0;
        for (size_t i = first; i < batch.size() && count < int(maxPieces); ++i, ++count) {
            const qint64 skip = i == first ? offset : 0;
            pieces[count].iov_base = const_cast<char *>(batch[i].constData() + skip);
            pieces[count].iov_len = static_cast<size_t>(batch[i].size() - skip);
        }
        const ssize_t n = ::writev(fd, pieces, count);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                // A descriptor the host made non-blocking: wait here for room, in this thread
                // only, rather than drop the rest of a protocol line.
                pollfd room = {fd, POLLOUT, 0};
                if (::poll(&room, 1, -1) >= 0 || errno == EINTR)
                    continue;
            }
            // The reader is gone (EPIPE, SIGPIPE being ignored) or the descriptor is unusable;
            // the lines are lost either way, only a missing reader is reported.
            const bool gone = errno == EPIPE;
            queued.fetch_sub(left, std::memory_order_relaxed);
            return gone ? Outcome::ReaderGone : Outcome::Failed;
        }
        stalledSinceMs.store(nowMs(), std::memory_order_relaxed);
        queued.fetch_sub(n, std::memory_order_relaxed);
        left -= n;
        for (qint64 taken = n; taken > 0;) {
            const qint64 rest = batch[first].size() - offset;
            if (taken < rest) {
                offset += taken;
                break;
            }
            taken -= rest;
            ++first;
            offset = 0;
        }
    }
    return Outcome::Written;
}

bool LineStream::flush(std::chrono::milliseconds limit)
{
    std::unique_lock<PiMutex> lock(mutex);
    if (forkedChild)
        return true;  // its lines are written as they come
    const quint64 target = madeBytes;
    return written.wait_for(lock, limit, [&] { return handledBytes >= target; });
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

namespace {

void toErr(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    err.line(qFormatLogMessage(type, context, message));
    if (type == QtFatalMsg)
        err.flush(std::chrono::seconds(1));  // Qt aborts the process next
}

// Defined after the streams, so destroyed before them: Qt's messages from later destructors go
// to standard error directly again.
struct QtMessagesBack {
    ~QtMessagesBack() { qInstallMessageHandler(nullptr); }
} qtMessagesBack;

}  // namespace

void routeQtMessages()
{
    qInstallMessageHandler(toErr);
}

void flushAll(std::chrono::milliseconds limit)
{
    out.flush(limit);
    err.flush(limit);
}

}  // namespace Console
