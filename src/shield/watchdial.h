#pragma once
// The dial-flood detector shared by all shields. Only the event parser calls into it, from the
// transfer thread, but that thread is a new one after every link restart: the burst is measured
// on the monotonic clock, not by a timer of the thread, so a restart neither ends a burst nor
// keeps one alive, and a pause as long as the window always ends it. Fields are atomic for the
// hand-over between those threads.

#include <QObject>
#include <QtGlobal>

#include <atomic>

class WatchDial : public QObject
{
    Q_OBJECT
public:
    // A chain of dial or key events less than intervalMs apart is a burst; the event that brings
    // the count of a burst (not counting its first event) to limit declares the flood.
    WatchDial(int intervalMs, quint8 limit, QObject *parent = nullptr);

    // Counts one dial or key event; writes the flood line once when the flood is declared.
    void DialDetect();
    // True once a flood was declared; nothing ever clears it.
    bool IsFlood() const { return flood; }
    // Events counted in the current burst after its first one.
    quint8 getCount() const { return count; }

private:
    static qint64 nowMs();

    std::atomic<bool> flood{false};
    // When the window of the current burst was last started (ms of the monotonic clock), or
    // noBurst between bursts.
    std::atomic<qint64> windowStart;
    std::atomic<quint8> count{0};
    const qint64 intervalMs;
    const quint8 limit;
};
