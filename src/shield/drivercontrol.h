#pragma once
// Starts the link with the shields once and restarts it, all shields together, on an emergency.
// Lives in the main thread; every restart runs there, so it can stop and wait for the transfer
// and supervisor threads. A restart ends the calls in progress: the host hears "drop" for each
// call it knows of that is still open, and every audio path that runs is stopped, before the
// shields are rebooted. Requests that come while a restart is pending or running are served by
// that restart.

#include <QObject>

#include <atomic>

class Board;
class CallLedger;
class CycleOverruns;
class PlaybackState;
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
    // Where the restart learns which shields' audio runs (none when not set).
    void setPlayback(const PlaybackState *state) { playback = state; }
    // Where the restart learns which calls the host knows are open (none when not set).
    void setCalls(CallLedger *ledger) { calls = ledger; }
    // Emergency restarts of the link since start-up (read from any thread).
    quint32 restartCount() const { return restarts.load(std::memory_order_relaxed); }
    // Transfer cycles that came late or took longer than the period, over the process's life.
    const CycleOverruns &cycleOverruns() const;

Q_SIGNALS:
    // Relays ShieldControl::changeSpiPeriod to the transfer thread. Nothing emits it today: the
    // chain is the way to change the transfer period at run time, kept wired for that use.
    void changeSpiPeriod1(int ms);
    // A restart ended the call of this shield (value false): its audio path must stop.
    void play_sound(bool value, quint8 addressShield);

public Q_SLOTS:
    // Reboots the shields, then starts the transfer thread and the supervisor thread.
    void start_connect_with_shield();
    // Asks for a restart: stops both threads, takes every shield out of service (the host's
    // commands are refused until each is back) and ends the calls in progress, reboots the
    // shields, resets the six shield records, starts again. Runs at once when called in the main
    // thread with no restart pending, otherwise is posted to it; a request while one is pending or
    // running (also one the stopped threads left queued) is served by that one. Any thread.
    void restart_connect_with_shield();

private:
    void restart();
    // Tells the host of every call in progress that it is over and stops every audio path.
    void endCalls();

    ShieldControl *shieldControl;  // owned (child)
    ThreadSpiTransmitter *transmitter;
    ThreadShieldHandler *handler;
    Settings *settings;
    const PlaybackState *playback = nullptr;
    CallLedger *calls = nullptr;
    // A restart is pending or running.
    std::atomic<bool> restartBusy{false};
    std::atomic<quint32> restarts{0};
};
