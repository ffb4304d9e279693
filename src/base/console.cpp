#include "base/console.h"

#include <QIODevice>
#include <QtGlobal>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
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
    std::unique_lock<PiMutex> lock(mutex);
    if (sink) {
        sink(bytes);
        return;
    }
    if (broken || bytes.isEmpty())
        return;  // nobody reads any more: the line goes with the reader
    const qint64 size = bytes.size();
    if (!writerThere()) {
        lock.unlock();
        writeNow(bytes);
        return;
    }
    if (overflow == Overflow::Keep && queued.load(std::memory_order_relaxed) + size >
                                          bound.load(std::memory_order_relaxed) * hardBoundFactor) {
        ++refusedUntold;
        refusedTotal.fetch_add(1, std::memory_order_relaxed);
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

void LineStream::writeNow(const QByteArray &bytes)
{
    for (qint64 done = 0; done < bytes.size();) {
        const ssize_t n =
            ::write(fd, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (n < 0 && errno != EINTR)
            return;
        done += std::max<ssize_t>(n, 0);
    }
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
    while (awaitLines(lock)) {
        takePending();
        lock.unlock();
        Result result = write();
        lock.lock();
        quint64 handled = static_cast<quint64>(result.bytes);
        if (unwritable(result))
            handled += discardAll();
        if (result.outcome == Outcome::ReaderGone) {
            broken = true;  // from now on lines are discarded as they come
            if (const std::function<void()> onBroken = takeBrokenPipeHandler()) {
                lock.unlock();
                onBroken();
                lock.lock();
            }
        }
        // Refused lines are told once the queue is back under its bound, where events flow again.
        quint64 refused = 0;
        if (refusedUntold != 0 && queuedBytes() <= bound.load(std::memory_order_relaxed)) {
            refused = refusedUntold;
            refusedUntold = 0;
        }
        lock.unlock();
        tell(result, refused);
        lock.lock();
        // Only now: a flush() that returns has seen the break and the failure reported.
        handledBytes += handled;
        written.notify_all();
    }
}

bool LineStream::awaitLines(std::unique_lock<PiMutex> &lock)
{
    writerIdle = true;
    if (inHand.empty()) {
        wake.wait(lock, [this] { return !pending.empty() || stopping; });
    } else {
        // The descriptor failed: tried again after a while, or when a flush or the end waits.
        wake.wait_for(lock, std::chrono::milliseconds(retryMs.load(std::memory_order_relaxed)),
                      [this] { return stopping || hurry; });
    }
    writerIdle = false;
    hurry = false;
    return !pending.empty() || !inHand.empty();  // else stopping, and everything is written
}

void LineStream::takePending()
{
    if (droppedLines != 0) {
        // Told where the lines went missing, before the ones that survived.
        const QByteArray notice =
            QStringLiteral("#WARNING: standard error was not read: %1 older lines dropped\n")
                .arg(droppedLines)
                .toUtf8();
        droppedLines = 0;
        queued.fetch_add(notice.size(), std::memory_order_relaxed);
        madeBytes += static_cast<quint64>(notice.size());
        inHand.push_back(notice);
    }
    for (QByteArray &bytes : pending)
        inHand.push_back(std::move(bytes));
    pending.clear();
    pendingBytes = 0;
}

bool LineStream::unwritable(const Result &result) const
{
    // The reader is gone, the diagnostic log fails (there is nobody to tell), or the process ends.
    return result.outcome == Outcome::ReaderGone ||
           (result.outcome == Outcome::Failed && (stopping || overflow == Overflow::DropOldest));
}

quint64 LineStream::discardAll()
{
    qint64 lost = pendingBytes - inHandOffset;
    for (const QByteArray &bytes : inHand)
        lost += bytes.size();
    queued.fetch_sub(lost, std::memory_order_relaxed);
    inHand.clear();
    inHandOffset = 0;
    pending.clear();
    pendingBytes = 0;
    return static_cast<quint64>(lost);
}

void LineStream::tell(const Result &result, quint64 refused)
{
    // The diagnostic log tells nobody of its own failures.
    const bool toErr = this != &err;
    if (refused != 0 && toErr) {
        err.line(QStringLiteral("#WARNING: %1 was not read: %2 lines other than events were not "
                                "kept (the events waited in the shields)")
                     .arg(name())
                     .arg(refused));
    }
    if (result.outcome != Outcome::Failed) {
        if (failure.exchange(0, std::memory_order_relaxed) != 0 && failureTold && toErr)
            err.line(QStringLiteral("#WARNING: %1 is written again").arg(name()));
        failureTold = false;
        return;
    }
    failure.store(result.error, std::memory_order_relaxed);
    const qint64 now = nowMs();
    if (!toErr || (failureToldMs != 0 && now - failureToldMs < failureReportMs))
        return;
    failureToldMs = now;
    failureTold = true;
    err.line(QStringLiteral("#WARNING: %1 cannot be written (%2): its lines are kept, and the "
                            "shields keep their events until it can")
                 .arg(name(), QString::fromLocal8Bit(std::strerror(result.error))));
}

QString LineStream::name() const
{
    if (fd == STDOUT_FILENO)
        return QStringLiteral("standard output");
    if (fd == STDERR_FILENO)
        return QStringLiteral("standard error");
    return QStringLiteral("descriptor %1").arg(fd);
}

LineStream::Result LineStream::write()
{
    Result result;
    while (!inHand.empty()) {
        iovec pieces[maxPieces];
        int count = 0;
        for (size_t i = 0; i < inHand.size() && count < int(maxPieces); ++i, ++count) {
            const qint64 skip = i == 0 ? inHandOffset : 0;
            pieces[count].iov_base = const_cast<char *>(inHand[i].constData() + skip);
            pieces[count].iov_len = static_cast<size_t>(inHand[i].size() - skip);
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
            // EPIPE (SIGPIPE being ignored): the reader is gone. Anything else (a full disk, an
            // I/O error, a closed descriptor) may pass: the lines stay in hand.
            result.error = errno;
            result.outcome = errno == EPIPE ? Outcome::ReaderGone : Outcome::Failed;
            return result;
        }
        stalledSinceMs.store(nowMs(), std::memory_order_relaxed);
        queued.fetch_sub(n, std::memory_order_relaxed);
        result.bytes += n;
        for (qint64 taken = n; taken > 0;) {
            const qint64 rest = inHand.front().size() - inHandOffset;
            if (taken < rest) {
                inHandOffset += taken;
                break;
            }
            taken -= rest;
            inHand.pop_front();
            inHandOffset = 0;
        }
    }
    return result;
}

bool LineStream::flush(std::chrono::milliseconds limit)
{
    std::unique_lock<PiMutex> lock(mutex);
    if (forkedChild)
        return true;  // its lines are written as they come
    const quint64 target = madeBytes;
    hurry = true;
    wake.notify_one();
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
