#pragma once
// The hang-up watchdog of one shield. Owned by the transfer thread (a child of the parsers);
// started and stopped only from that thread, and its timer fires in that thread's event loop.

#include <QObject>

class QTimer;

class WatchDrop : public QObject
{
    Q_OBJECT
public:
    // Fires emergency_restart() once when intervalMs pass after the last dial without a drop.
    explicit WatchDrop(int intervalMs, QObject *parent = nullptr);

    // A dial: (re)starts the wait for the hang-up from zero.
    void detect_dial();
    // A hang-up, or proof that the shield restarted: stops the wait; harmless when stopped.
    void detect_drop();
    // True while a hang-up is awaited.
    bool isActive() const;

Q_SIGNALS:
    void emergency_restart();

private:
    QTimer *timer;
};
