#pragma once
// The transfer loop's exchanges for capture clients (the status socket's "capture" request).
//
// CaptureRing: a bounded ring of records in the wire format of base/capturewire.h with one
// writer, the transfer thread, and one reader, the main thread, and no lock: neither ever waits
// for the other. A record that does not fit is lost and counted, and the next record that fits
// comes after one that says how many were lost. Its memory is taken once, when it is made, so
// putting an exchange in costs the cycle two copies and no allocation.
//
// CaptureTap: where the two threads meet, owned by main for the life of the process. The status
// server (main thread) opens a ring when a client starts capturing and closes it when the last
// one goes; the transfer thread, in each cycle, uses the ring that is open, if any. While nobody
// captures there is no ring, and a cycle costs one atomic load.

#include <QByteArray>
#include <QtGlobal>

#include <atomic>
#include <memory>
#include <vector>

class CaptureRing
{
public:
    // About 2.5 s of the busiest bus (six shields in calls, 528 bytes each way every 16 ms).
    static constexpr quint32 defaultBytes = 1u << 20;

    // `bytes` is rounded up to a power of two (at least 4 KiB); every record lost is also added
    // to `dropped`.
    CaptureRing(quint32 bytes, std::atomic<quint64> *dropped);

    // Transfer thread: one exchange of `length` bytes each way (at most 528), as its two records
    // with the current time; both go in, or both are lost.
    void exchange(quint8 shield, const quint8 *sent, const quint8 *received, int length);

    // Main thread: the oldest record, header and data, into `record`; false when none waits.
    bool take(QByteArray *record);

    quint32 capacity() const { return mask + 1; }
    // Microseconds since 1970, the records' clock.
    static quint64 nowUs();

private:
    // Copies `count` bytes into the ring at `at`, wrapping at its end; moves `at` on.
    void put(quint64 *at, const void *bytes, quint32 count);
    void get(quint64 at, void *bytes, quint32 count) const;

    std::unique_ptr<quint8[]> buffer;
    const quint32 mask;
    std::atomic<quint64> head{0};  // the end of the records written; only the writer moves it
    std::atomic<quint64> tail{0};  // the start of the records not yet taken; only the reader
    quint32 unreported = 0;        // writer only: records lost since the last records-lost record
    std::atomic<quint64> *dropped;
};

class CaptureTap
{
public:
    CaptureTap();
    // Only once the transfer thread has ended.
    ~CaptureTap();
    CaptureTap(const CaptureTap &) = delete;
    CaptureTap &operator=(const CaptureTap &) = delete;

    // Main thread.
    // The ring of the capture clients, made and handed to the transfer thread if none is open.
    CaptureRing *open(quint32 bytes = CaptureRing::defaultBytes);
    // Nobody captures any more: the transfer thread is given no ring from its next cycle on, and
    // the ring is freed once that thread is out of it. True when nothing is left to free; false
    // while the transfer thread may still be in a ring, and close() must be called again later.
    bool close();
    // Records lost so far, in full rings and by clients that read too slowly.
    quint64 dropped() const { return droppedTotal.load(std::memory_order_relaxed); }
    void addDropped(quint64 n) { droppedTotal.fetch_add(n, std::memory_order_relaxed); }

    // Transfer thread: the ring for this cycle, or null while nobody captures; after a non-null
    // one, leave() when the cycle is done with it.
    CaptureRing *enter();
    void leave();

private:
    std::atomic<CaptureRing *> published{nullptr};
    std::atomic<bool> inside{false};                    // the transfer thread may be using a ring
    std::unique_ptr<CaptureRing> ring;                  // main thread: the open ring
    std::vector<std::unique_ptr<CaptureRing>> retired;  // main thread: closed, perhaps in use
    std::atomic<quint64> droppedTotal{0};
};
