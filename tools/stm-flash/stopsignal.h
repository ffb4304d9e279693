#pragma once
// SIGINT and SIGTERM ask stm-flash to stop between bootloader exchanges rather than end it in
// the middle of one; SIGPIPE is ignored, so a closed output is a failed write, not a death.

namespace StmFlash {

void catchStopSignals();
// Whether a stop signal came. Safe to ask from anywhere: the handler only sets a flag.
bool stopRequested();

}  // namespace StmFlash
