#pragma once
// A bench SPI echo loop: once started, two 4-byte transfers 5 ms apart, each sending back what
// the one before received, then it stops by itself. Lives in the main thread. Nothing in the
// driver starts it: it is the production bench's SPI check, kept callable for that bench.

#include <QObject>

#include <array>

class Board;
class QTimer;
class Settings;

class Stand : public QObject
{
    Q_OBJECT

public:
    static constexpr int intervalMs = 5;
    static constexpr int passes = 2;

    Stand(QObject *parent, Settings *settings, Board *board);

    void start_spi_loop();
    bool isRunning() const;
    const std::array<quint8, 128> &getReceived() const { return received; }
    const std::array<quint8, 128> &getWork() const { return work; }

public Q_SLOTS:
    void spi_loop_txrx();

private:
    QTimer *timer;  // owned (child)
    Board *board;
    Settings *settings;
    std::array<quint8, 128> received{};
    std::array<quint8, 128> work{};
    static quint8 countTimerInterval;  // passes since the last start, shared by all stands
};
