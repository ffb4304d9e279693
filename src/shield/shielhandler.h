#pragma once
// The supervisor: every tick it pings offline shields, identifies those that answered, announces
// them and pushes their apartment lists, and takes lost shields back offline. Lives in the
// supervisor thread. It talks to the shields only through the command builder's queues and
// learns the answers through the shield records' handshake flags; the cleanup of a lost shield's
// link record holds the link mutex.

#include "base/pimutex.h"
#include "base/shieldcount.h"
#include "config/shieldstate.h"

#include <QObject>
#include <QString>

#include <array>
#include <atomic>
#include <mutex>

class Board;
class Settings;
class SPIcommand;
class SPIconnector;

class ShielHandler : public QObject
{
    Q_OBJECT

public:
    // Supervisor periods in ticks (2 ms each).
    static constexpr int ping1Ticks = 1000;
    static constexpr int waitBeforeInitTicks = 750;
    static constexpr int initTimeoutTicks = 10000;
    static constexpr int ping2Ticks = 1500;

    ShielHandler(QObject *parent, Settings *settings, SPIcommand *command, SPIconnector **links,
                 PiMutex *linkMutex, Board *board);

    // One tick over the served shields; shields beyond them stay offline and silent.
    void main_func();
    // Before the supervisor sleeps: ticks from the last tick to the next one at which something
    // can happen without word from another thread (a ping or a time-out due, a wait that ends, a
    // flag that is already up); GridTimer::never when only a reply, a lost link or a push request
    // can bring work (each rings the supervisor's wake line). Notes where each shield stands, for
    // skipTicks() after the sleep.
    quint64 ticksUntilDue();
    // After a sleep: `ticks` ticks passed without a tick run, and the counts move on as those
    // ticks would have moved them. A count stops at its next due tick, whose work the coming tick
    // does late.
    void skipTicks(quint64 ticks);
    void process_offline(uchar shield);
    void process_init(uchar shield);
    void process_online(uchar shield);
    void sendPing1(int shield);
    void sendPing2(int shield);
    void sendToConsoleKvtaShieldInfo(int shield);

Q_SIGNALS:
    void play_sound(bool value, uchar addressShield);

private:
    void cleanLink(uchar shield);
    quint64 ticksUntilDue(uchar shield) const;
    // One step of a list push: the next word once the previous one is acknowledged, or the
    // end-of-list line after the 64th.
    void pushList(uchar shield, bool virtualList);

    SPIcommand *command;
    Settings *settings;
    std::array<SPIconnector *, maxShields> links{};
    PiMutex *linkMutex;
    Board *board;

    // Per-shield counters of this supervisor's thread; a link restart keeps them.
    // Atomic: the thread reads them for its sleep between ticks, and the main thread adds the
    // ticks slept through once the thread has stopped.
    std::array<std::atomic<int>, maxShields> ping1Count{};
    std::array<std::atomic<int>, maxShields> ping2Count{};
    std::array<const ShieldState::ApartmentList *, maxShields> pointToDialplan{};
    std::array<quint16, maxShields> countSendDialplan{};
    // Where each shield stood when the supervisor went to sleep, for the counts of the ticks it
    // skipped: a link restart resets the records while the supervisor is stopped.
    std::array<ShieldState::State, maxShields> sleptState{};
    std::array<qint32, maxShields> sleptStep{};
};
