#pragma once
// A pacing loop that busy-waits on the board's microsecond delay. It occupies the thread that
// calls cycle() for good; timeout() is emitted from that thread. Nothing in the driver creates
// one: it is the pacing device for a board without a usable kernel timer, kept for such a port.

#include <QObject>

#include <atomic>

class Board;

class TimerPrecise : public QObject
{
    Q_OBJECT

public:
    TimerPrecise(Board *board, QObject *parent = nullptr);

    void setEnabled(bool value) { enabled = value; }

Q_SIGNALS:
    void timeout();

public Q_SLOTS:
    // Waits timerPeriodUs of the board, then emits timeout() when enabled; for ever.
    void cycle();

private:
    std::atomic<bool> enabled{false};
    Board *board;
};
