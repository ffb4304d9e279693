#pragma once
// One run of stm-flash on a shield, in its phases: find the bootloader and what the chip is,
// check the image against its flash and protection, then read, compare, tell the plan, or save,
// erase, write, verify and start.

#include "stm-flash/options.h"

#include "board/board.h"
#include "link/flashimage.h"

namespace StmFlash {

// The exit status: 0 done, 1 failed, 2 the shield runs its application.
int run(Board *board, const Options &o, const FlashImage &image);

}  // namespace StmFlash
