#pragma once
// Starts the link with the shields once and restarts it, all shields together, on an emergency.
// Lives in the main thread; every restart runs there, so it can stop and wait for the transfer
// and supervisor threads.

#include <QObject>

#include <atomic>

class Board;
class Settings;
class ShieldControl;
class SPIcommand;
class SPIconnector;
class ThreadShieldHandler;
class ThreadSpiTransmitter;

class DriverControl : public QObject
{
    Q_OBJECT

public:
    DriverControl(ThreadSpiTransmitter *transmitter, ThreadShieldHandler *handler,
                  Settings *settings, SPIcommand *command, SPIconnector **links, Board *board,
                  QObject *parent = nullptr);

    ShieldControl *getShieldControl() const { return shieldControl; }
    // Emergency restarts of the link since start-up (read from any thread).
    quint32 restartCount() const { return restarts.load(std::memory_order_relaxed); }

Q_SIGNALS:
    // Relays ShieldControl::changeSpiPeriod to the transfer thread. Nothing emits it today: the
    // chain is the way to change the transfer period at run time, kept wired for that use.
    void changeSpiPeriod1(int ms);

public Q_SLOTS:
    // Reboots the shields, then starts the transfer thread and the supervisor thread.
    void start_connect_with_shield();
    // Stops both threads, reboots the shields, resets the six shield records, starts again.
    void restart_connect_with_shield();

private:
    ShieldControl *shieldControl;  // owned (child)
    ThreadSpiTransmitter *transmitter;
    ThreadShieldHandler *handler;
    Settings *settings;
    std::atomic<quint32> restarts{0};
};
