#include "stand/stand.h"

#include "board/board.h"
#include "config/settings.h"

#include <QTimer>

quint8 Stand::countTimerInterval = 0;

Stand::Stand(QObject *parent, Settings *settings, Board *board)
    : QObject(parent), timer(new QTimer(this)), board(board), settings(settings)
{
    timer->setInterval(intervalMs);
    connect(timer, &QTimer::timeout, this, &Stand::spi_loop_txrx);
}

void Stand::start_spi_loop()
{
    timer->start();
}

bool Stand::isRunning() const
{
    return timer->isActive();
}

void Stand::spi_loop_txrx()
{
    for (int i = 0; i < 4; ++i) {
        work[i] = received[i];
        received[i] = 0;
    }
    if (settings->spi == 0)
        board->spi_transfer(work.data(), received.data(), 4);
    countTimerInterval = static_cast<quint8>(countTimerInterval + 1);
    if (countTimerInterval >= passes) {
        countTimerInterval = 0;
        timer->stop();
    }
}
