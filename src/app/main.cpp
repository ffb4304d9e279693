// The driver process: reads its options, opens the board, builds and wires the link to the
// shields, and runs the main event loop until it is killed.

#include "app/console.h"
#include "board/boardconfigured.h"
#include "board/boardsimbus.h"
#include "config/settings.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdio>

namespace {

Board *createBoard(const Settings &settings)
{
    if (settings.simbus)
        return new BoardSimbus(settings.simbusPath);
    return new BoardConfigured(settings.boardName, settings.spidevPath);
}

}  // namespace

int main(int argc, char *argv[])
{
    // 1. Standard output unbuffered: every host line leaves with its end-of-line.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    // A host or simulator that goes away must not kill the driver by a signal.
    std::signal(SIGPIPE, SIG_IGN);

    // 2. to 4.
    Settings settings;
    QCoreApplication app(argc, argv);
    settings.parser_param(argc, argv);

    // 5. The banner.
    Console::out.line(QStringLiteral("#STM_driver_2v") + QString::number(1) + QString::number(8));
    Console::out.line(QStringLiteral("KVT_STM_Driver 2.") + QString::number(1) +
                      QString::number(8));
    Console::out.line();

    // 6. and 7. The board: library, SPI, GPIO.
    Board *board = createBoard(settings);
    board->lib_init();
    if (settings.spi != 0)
        board->spi1_init();
    else
        board->spi_init();
    board->gpio_init();

    // 18. The main event loop; nothing asks it to quit.
    return app.exec();
}
