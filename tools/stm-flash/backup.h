#pragma once
// Flash saved into new files: --read (raw bytes) and --backup (the pages an erase takes, as
// Intel HEX that stm-flash writes back). An existing file or a link is refused, never written
// through; the files are readable by all (0644) and on the disk before success is told.

#include "stm-flash/options.h"
#include "stm-flash/session.h"

#include "link/flashplan.h"

namespace StmFlash {

// --read: o.length bytes from o.address into o.readFile. 0 when all of it is there.
int readToFile(Session &session, const Options &o);
// Saves what the erase is about to take (the plan's pages, or the whole flash) into o.backup,
// before anything is erased. 0 when all of it is saved; a partial file is removed.
int backup(Session &session, const FlashPlan &plan, const Chip &chip, const Options &o);

}  // namespace StmFlash
