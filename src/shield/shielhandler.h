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
    // One step of a list push: the next word once the previous one is acknowledged, or the
    // end-of-list line after the 64th.
    void pushList(uchar shield, bool virtualList);

    SPIcommand *command;
    Settings *settings;
    std::array<SPIconnector *, maxShields> links{};
    PiMutex *linkMutex;
    Board *board;

    // Per-shield counters of this supervisor's thread; a link restart keeps them.
    std::array<int, maxShields> ping1Count{};
    std::array<int, maxShields> ping2Count{};
    std::array<const ShieldState::ApartmentList *, maxShields> pointToDialplan{};
    std::array<quint16, maxShields> countSendDialplan{};
};
