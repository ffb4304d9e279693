#pragma once
// The hang-up watchdog of one shield. It lives for the whole process in the thread that created
// it (the main thread in the driver), which the link restart never stops: a wait that runs at a
// restart still ends intervalMs after its dial. detect_dial() and detect_drop() may be called
// from any thread (the event parser calls them from the transfer thread); the wait itself is a
// deadline on the monotonic clock, and a timer of the owning thread wakes up at it.
//
// A hang-up may be among the events that wait in their shields while the host does not read (or
// its output fails): the wait does not end then, and once the host reads again it ends no
// earlier than graceMs later, when the held events have come through.

#include <QObject>

#include <atomic>

namespace Console {
class LineStream;
}
class QTimer;

class WatchDrop : public QObject
{
    Q_OBJECT
public:
    static constexpr int defaultGraceMs = 3 * 60 * 1000;

    // Fires emergency_restart() once when intervalMs pass after the last dial without a drop.
    explicit WatchDrop(int intervalMs, QObject *parent = nullptr);

    // The host's output whose held events may hold the hang-up (standard output unless set), and
    // the time the wait still runs after it takes lines again. Owning thread, before the first
    // dial.
    void setHostOutput(const Console::LineStream *stream, int graceMs = defaultGraceMs);
    // A dial: (re)starts the wait for the hang-up from zero.
    void detect_dial();
    // A hang-up, or proof that the shield restarted: stops the wait; harmless when stopped.
    void detect_drop();
    // True while a hang-up is awaited.
    bool isActive() const;

Q_SIGNALS:
    void emergency_restart();

private:
    static qint64 nowMs();
    // In the owning thread: sets the timer to the current deadline (or stops it).
    void arm();
    void expired();

    const qint64 intervalMs;
    std::atomic<qint64> deadline;  // ms of the monotonic clock, or stopped
    QTimer *timer;                 // owning thread only
    // Owning thread only:
    const Console::LineStream *hostOutput;
    qint64 graceMs = defaultGraceMs;
    // The deadline that passed while the host's events were held, or stopped.
    qint64 heldDeadline;
};
