#include "shield/shieldcontrol.h"

#include "board/board.h"
#include "config/settings.h"

ShieldControl::ShieldControl(Settings *settings, SPIcommand *command, SPIconnector **linkRecords,
                             Board *board)
    : QObject(nullptr), board(board), settings(settings), command(command)
{
    for (size_t i = 0; i < links.size(); ++i)
        links[i] = linkRecords[i];
}

void ShieldControl::setAllChipSelects(quint8 level)
{
    board->spi_set_cs0(level);
    board->spi_set_cs1(level);
    board->spi_set_cs2(level);
    board->spi_set_cs3(level);
    board->spi_set_cs4(level);
    board->spi_set_cs5(level);
}

void ShieldControl::reboot()
{
    setAllChipSelects(settings->selectLevel());
    board->gpio_set_reset(0);
    board->delay_ms(resetPulseMs);
    board->gpio_set_reset(1);
    board->delay_ms(settleMs);
    setAllChipSelects(settings->releaseLevel());
}
