#pragma once
// One session with a shield's bootloader: the shields' lines held for it, the bootloader found
// and asked what the chip is (family, flash and page size, program unit).

#include "stm-flash/options.h"

#include "board/board.h"
#include "link/stmbootloader.h"

#include <QString>
#include <QtGlobal>

namespace StmFlash {

// The shields' lines and the bus, for one session; lines released on every way out.
class Session
{
public:
    Session(Board *board, const Options &o);
    ~Session();
    // All shields restart: held selected in reset for 600 ms, 200 ms to settle, released; then
    // the target is selected for the whole session.
    void reset();

    Board *board;
    const Options &o;
    StmBootloader host;
};

// What the shield's bootloader and flash are.
struct Chip {
    quint8 version = 0;
    quint16 productId = 0;
    QString family;
    quint32 flashSize = 0;
    bool sizeRead = false;  // from the part itself, not the family or the command line
    quint32 pageSize = 0;
    int programUnit = StmBootloader::anyProgramUnit;
};

// A size as stm-flash tells it: "64 KiB", or "1000 bytes" when not whole KiB.
QString kib(qint64 bytes);

// Resets, finds the bootloader and reads what the chip is. 0 when it is there, else the exit
// status. `restart` false: the chip restarted by itself and answered a synchronisation already.
int connect(Session &session, Chip *chip, bool restart = true);

}  // namespace StmFlash
