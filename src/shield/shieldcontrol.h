#pragma once
// Drives the shields' common reset line and chip selects for a reboot. Lives in the main thread;
// it runs only while the transfer thread is stopped.

#include "base/shieldcount.h"

#include <QObject>

#include <array>

class Board;
class Settings;
class SPIcommand;
class SPIconnector;

class ShieldControl : public QObject
{
    Q_OBJECT

public:
    static constexpr quint32 resetPulseMs = 600;
    static constexpr quint32 settleMs = 200;

    ShieldControl(Settings *settings, SPIcommand *command, SPIconnector **links, Board *board);

    // Holds all six shields selected, pulses the reset line, lets them settle, releases them.
    void reboot();

Q_SIGNALS:
    void changeSpiPeriod(int ms);

private:
    void setAllChipSelects(quint8 level);

    Board *board;
    Settings *settings;
    SPIcommand *command;
    std::array<SPIconnector *, maxShields> links{};
};
