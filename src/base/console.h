#pragma once
// The process-wide console streams. Owned by no thread: every thread writes through them, and no
// writer ever waits for the reader of a descriptor. A line is queued whole, in the order lines are
// made across all threads, and the stream's own writer thread hands the queue to the descriptor;
// a block of lines (the identity block) is queued as one piece and stays together.
//
// While the reader lags the queue grows. Standard output is the host's record and keeps its
// lines: once more than its bound waits, overBound() tells the transfer loop, which then takes no
// new event from the shields (their events wait, unacknowledged, in the shields) until the host
// has caught up. A descriptor that fails for another reason than a missing reader (a full disk,
// an I/O error) counts as a reader that does not read: its lines wait and are tried again every
// second, overBound() holds, and standard error says so once a minute while it lasts. Past a hard
// bound of several times the bound nothing more is queued: only lines that come whether the host
// reads or not get there (an event is taken only below the bound), and standard error counts them
// once the queue is back under its bound. Standard error is the diagnostic log: its oldest lines
// are dropped, and a later line says how many.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTextStream>

#include "base/pimutex.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

#include <pthread.h>

namespace Console {

class LineStream
{
public:
    // What becomes of lines beyond the bound.
    enum class Overflow {
        Keep,        // all are kept; producers that can hold back ask overBound()
        DropOldest,  // the oldest waiting lines go, and one later line says how many
    };
    static constexpr qint64 outBound = 1024 * 1024;  // standard output
    static constexpr qint64 errBound = 64 * 1024;    // standard error
    // For Keep: the hard bound is this many times the bound. Between the two there is room for
    // every event a cycle can take while the queue was still under the bound.
    static constexpr qint64 hardBoundFactor = 4;
    // A descriptor that failed is tried again this often, and said so at most this often.
    static constexpr int defaultRetryMs = 1000;
    static constexpr qint64 failureReportMs = 60000;

    explicit LineStream(int fd, qint64 bound = outBound, Overflow overflow = Overflow::Keep);
    // Hands every waiting line to the descriptor, however long its reader takes, then ends the
    // writer thread.
    ~LineStream();
    LineStream(const LineStream &) = delete;
    LineStream &operator=(const LineStream &) = delete;

    // Queues text and an end-of-line as one whole line.
    void line(const QString &text);
    // Queues an empty line.
    void line() { line(QString()); }
    // Queues several lines as one block that no other thread's line can split.
    void lines(const QStringList &texts);

    // Bytes queued that the descriptor's reader has not taken yet. Any thread; lock-free.
    qint64 queuedBytes() const { return queued.load(std::memory_order_relaxed); }
    // More than the bound waits, or the descriptor fails: the reader takes nothing. Any thread;
    // lock-free (the transfer loop asks once a cycle).
    bool overBound() const
    {
        return queuedBytes() > bound.load(std::memory_order_relaxed) || writeError() != 0 ||
               holding.load(std::memory_order_relaxed);
    }
    // From now on overBound() holds, so the transfer loop takes no more events: for a process
    // about to end, before its last flush. Any thread.
    void holdBack() { holding.store(true, std::memory_order_relaxed); }
    // The error (errno) of the last write, while the descriptor fails; 0 when it takes lines.
    int writeError() const { return failure.load(std::memory_order_relaxed); }
    // Lines not queued since the start because the hard bound was reached.
    quint64 refusedLines() const { return refusedTotal.load(std::memory_order_relaxed); }
    // How long the reader has taken nothing while lines waited, in milliseconds; 0 when none wait.
    qint64 stalledMs() const;
    void setBound(qint64 bytes) { bound.store(bytes, std::memory_order_relaxed); }
    void setRetryInterval(int ms) { retryMs.store(ms, std::memory_order_relaxed); }

    // Waits until the lines queued before the call have reached the descriptor (or were dropped),
    // at most `limit`; true when they have. For a process about to end without destructors; a
    // descriptor that fails is tried again at once.
    // Never from the broken-pipe handler: it runs in the writer thread.
    bool flush(std::chrono::milliseconds limit);

    // Redirects the lines of this stream to a function instead of the file descriptor (for tests
    // and tools): called at once, in the writing thread, under the stream's lock. An empty
    // function restores the file descriptor.
    void setSink(std::function<void(const QByteArray &)> sink);

    // Called once, in the writer thread and outside the lock, when a write to the descriptor
    // fails because nobody reads it any more (EPIPE); at once if that happened before. Lines
    // queued afterwards are discarded. The handler may write lines itself, but must not wait for
    // this stream's writer (flush): it runs there.
    void setBrokenPipeHandler(std::function<void()> handler);

private:
    enum class Outcome { Written, Failed, ReaderGone };
    struct Result {
        Outcome outcome = Outcome::Written;
        qint64 bytes = 0;  // handed to the descriptor
        int error = 0;
    };

    void put(QByteArray bytes);
    // Where the writer thread cannot be: the bytes straight to the descriptor, whatever comes.
    void writeNow(const QByteArray &bytes);
    // Under the lock: the writer thread is there to take the line, or is started now. False where
    // there can be none (a child of fork(), threads refused): the line is written here.
    bool writerThere();
    // Under the lock, for DropOldest: the oldest waiting lines beyond the bound go.
    void dropOldest();
    // The writer thread: sleeps until lines wait, hands them over in batches.
    void run();
    // Writer thread, under the lock: sleeps until lines wait (or, after a failed write, until it
    // is time to try again); false when the stream stops with nothing left to write.
    bool awaitLines(std::unique_lock<PiMutex> &lock);
    // Writer thread, under the lock: the waiting lines into its hands, after a notice of the lines
    // dropped before them.
    void takePending();
    // Lines that nobody can take any more go, and so does what waits behind them.
    bool unwritable(const Result &result) const;
    // Under the lock: every line in hand or waiting dropped; their bytes.
    quint64 discardAll();
    // Writer thread, outside the lock: the lines in hand to the descriptor, waiting for room as
    // long as it takes, until they are all written or a write fails.
    Result write();
    // Writer thread, outside the lock: records the outcome of a write, and tells standard error
    // that this stream fails (at most once a minute), works again, or refused lines.
    void tell(const Result &result, quint64 refused);
    QString name() const;
    // Under the lock: the handler to call now, if the break is not yet reported.
    std::function<void()> takeBrokenPipeHandler();

    const int fd;
    const Overflow overflow;
    std::atomic<qint64> bound;
    std::atomic<qint64> queued{0};          // waiting and in the writer's hands
    std::atomic<qint64> stalledSinceMs{0};  // monotonic: last progress, or the queue filling
    std::atomic<int> failure{0};            // errno of the failing descriptor, or 0
    std::atomic<quint64> refusedTotal{0};
    std::atomic<int> retryMs{defaultRetryMs};
    std::atomic<bool> holding{false};

    // Priority-inheriting: every thread queues lines, the real-time transfer thread among them,
    // and the writer holds the lock only to take a batch.
    mutable PiMutex mutex;
    std::condition_variable_any wake;     // the writer waits for lines
    std::condition_variable_any written;  // flush() waits for the writer
    // Under the mutex:
    std::deque<QByteArray> pending;
    qint64 pendingBytes = 0;
    quint64 madeBytes = 0;     // queued since the start
    quint64 handledBytes = 0;  // of those, handed to the descriptor or dropped
    quint64 droppedLines = 0;  // not yet told
    quint64 refusedUntold = 0;
    bool writerIdle = false;
    bool stopping = false;
    bool hurry = false;  // a flush waits: a failing descriptor is tried again now
    // Started with the first line. A plain thread handle: a child of fork() has none, and writes
    // its own lines itself instead.
    pthread_t writer{};
    bool writerStarted = false;
    std::function<void(const QByteArray &)> sink;
    std::function<void()> brokenPipeHandler;
    bool broken = false;          // a write found no reader
    bool brokenReported = false;  // the handler has been called
    // Writer thread only: the lines taken from `pending`, the first perhaps partly written.
    std::deque<QByteArray> inHand;
    qint64 inHandOffset = 0;
    qint64 failureToldMs = 0;  // monotonic; 0: never
    bool failureTold = false;  // the present failure was told
};

extern QTextStream in;  // standard input, read by the console reader only
extern LineStream out;  // standard output: the host protocol, nothing else
extern LineStream err;  // standard error: the diagnostic log

// Qt's own messages (warnings of its classes, qDebug) go to the diagnostic log through `err`
// instead of straight to standard error, so they never wait for its reader either.
void routeQtMessages();

// Both streams' lines so far to their descriptors, waiting at most `limit` for each: for a process
// about to end by _exit, whose writer threads would otherwise die with lines still queued.
void flushAll(std::chrono::milliseconds limit);

}  // namespace Console
