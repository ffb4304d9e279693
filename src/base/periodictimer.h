#pragma once
// A periodic timer of one thread's event loop that expires on an absolute grid with nanosecond
// resolution. Owned by the thread that creates it and used only there (its slots are reached
// from other threads through queued connections only).
//
// QTimer, even of the precise kind, waits in whole milliseconds: each wait is rounded up, so a
// 16 ms timer fires a fraction of a millisecond late for several periods and then one millisecond
// early, and most periods are longer than the nominal one. This timer is a Linux timerfd on the
// monotonic clock whose expirations wake the event loop through a socket notifier: every period
// ends on the grid set by start(). Expirations missed while the thread was busy are not made up:
// they give one timeout(), and expirations() says how many periods it stands for. Where no
// timerfd can be had, a precise QTimer stands in.

#include <QObject>

class QSocketNotifier;
class QTimer;

class PeriodicTimer : public QObject
{
    Q_OBJECT

public:
    explicit PeriodicTimer(QObject *parent = nullptr);
    ~PeriodicTimer() override;
    PeriodicTimer(const PeriodicTimer &) = delete;
    PeriodicTimer &operator=(const PeriodicTimer &) = delete;

    bool isActive() const { return active; }
    // The periods that ended for the latest timeout(): 1 on time, more when the thread came to
    // the timer a period or more late (always 1 with the QTimer stand-in, which cannot tell).
    quint64 expirations() const { return lastExpirations; }

public Q_SLOTS:
    // (Re)starts with the period `ms`; the first timeout comes one period from now.
    void start(int ms);
    void stop();

Q_SIGNALS:
    void timeout();

private:
    void expired();

    int fd = -1;
    QSocketNotifier *notifier = nullptr;
    QTimer *fallback = nullptr;
    bool active = false;
    quint64 lastExpirations = 1;
};
