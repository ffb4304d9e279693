#include "board/timerprecise.h"

#include "board/board.h"

TimerPrecise::TimerPrecise(Board *board, QObject *parent) : QObject(parent), board(board) {}

void TimerPrecise::cycle()
{
    for (;;) {
        board->delay_us(board->timerPeriodUs);
        if (enabled)
            Q_EMIT timeout();
    }
}
