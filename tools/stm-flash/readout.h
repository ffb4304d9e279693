#pragma once
// Read-out protection: found as a refused Read Memory, removed only when asked (the chip then
// erases its whole flash).

#include "stm-flash/options.h"

#include "link/stmbootloader.h"

namespace StmFlash {

// 0 when the flash can be read. With --unprotect the protection is removed and the erase
// awaited; *retryAfterUnprotect then tells the caller to ask the chip again.
int checkReadout(StmBootloader &host, bool *retryAfterUnprotect, const Options &o);

}  // namespace StmFlash
