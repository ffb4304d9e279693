#pragma once
// The shields' bus for stm-flash alone: the board (GPIO and spidev) or the simulated bus, taken
// only when no driver holds its lock. The lock and the node are released on every way out.

#include "stm-flash/options.h"

#include "board/board.h"
#include "board/buslock.h"

#include <memory>

namespace StmFlash {

class Bus
{
public:
    Bus() = default;
    ~Bus();
    Bus(const Bus &) = delete;
    Bus &operator=(const Bus &) = delete;

    // Makes the board or the simulated bus and takes the bus lock, before any line moves. 0
    // when the bus is ours; a running driver that keeps it is named.
    int take(const Options &o);
    // The lines and the SPI node, ready for a session; stop() lets them go.
    void start();
    void stop();
    Board *board() const { return device.get(); }

private:
    BusLock lock;
    std::unique_ptr<Board> device;
    bool simulated = false;
    int lockFd = -1;
};

}  // namespace StmFlash
