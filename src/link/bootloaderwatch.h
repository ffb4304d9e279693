#pragma once
// How long a shield has been answering with the bootloader's sign instead of frames, and how
// many hand-offs to its application the transfer loop tried meanwhile. The transfer thread
// writes it; the status server reads it from the main thread (atomics only). A link restart or a
// lost shield keeps it: only an answer other than the sign ends the stay.

#include <QtGlobal>

#include <atomic>
#include <chrono>

class BootloaderWatch
{
public:
    // A stay this long gets a warning line; the next one comes an hour later at the earliest.
    static constexpr qint64 warnAfterMs = 10 * 1000;
    static constexpr qint64 warnEveryMs = 60 * 60 * 1000;

    // Transfer thread: a hand-off was tried at `nowMs` (any monotonic clock in ms). True when the
    // warning line is due now.
    bool handedOff(qint64 nowMs)
    {
        qint64 start = startMs.load(std::memory_order_relaxed);
        if (start < 0) {
            start = nowMs;
            count.store(1, std::memory_order_relaxed);
            startMs.store(nowMs, std::memory_order_relaxed);
        } else {
            count.fetch_add(1, std::memory_order_relaxed);
        }
        if (nowMs - start < warnAfterMs)
            return false;
        if (lastWarningMs >= 0 && nowMs - lastWarningMs < warnEveryMs)
            return false;
        lastWarningMs = nowMs;
        return true;
    }
    // Transfer thread: the shield answered with anything but the sign.
    void answeredOtherwise()
    {
        if (startMs.load(std::memory_order_relaxed) >= 0)
            startMs.store(-1, std::memory_order_relaxed);
    }

    // The monotonic clock in milliseconds, as the watch is given it.
    static qint64 nowMs()
    {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }

    bool inBootloader() const { return startMs.load(std::memory_order_relaxed) >= 0; }
    // Hand-offs tried in the current stay (0 when there is none).
    quint32 handoffs() const { return inBootloader() ? count.load(std::memory_order_relaxed) : 0; }
    // Milliseconds of the current stay at `nowMs` (0 when there is none).
    qint64 stayMs(qint64 nowMs) const
    {
        const qint64 start = startMs.load(std::memory_order_relaxed);
        return start >= 0 ? nowMs - start : 0;
    }

private:
    std::atomic<qint64> startMs{-1};
    std::atomic<quint32> count{0};
    qint64 lastWarningMs = -1;  // transfer thread only
};
