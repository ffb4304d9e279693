#pragma once
// The erase of a run: the plan's pages in frames of up to 16, or the whole flash. A refusal is
// traced to its page: one the part does not have is told as past the end of its flash; a
// write-protected one is named, and its protection removed only with --unprotect.

#include "stm-flash/session.h"

#include "link/flashplan.h"

namespace StmFlash {

// 0 when erased, with the seconds it took; *chip is read again after a removed protection.
int erase(Session &session, const FlashPlan &plan, Chip *chip, double *seconds);

}  // namespace StmFlash
