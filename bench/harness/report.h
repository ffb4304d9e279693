#pragma once
// What a run writes into its folder: table.md (the run's table of figures against their
// targets, also on standard output), histogram.dat (the cycle periods binned for the picture),
// idle.md (each thread's cost while six shields were idle), summary.tsv (the headline figures,
// for the table that sets runs side by side) and notes.md (how each figure was taken).

#include "harness/figures.h"

namespace Bench {

// All of them.
void writeReport(const RunState &run, const RunFigures &figures);

// summary.tsv and notes.md alone (summarynotes.cpp).
void writeSummary(const RunState &run, const RunFigures &figures);
void writeNotes(const RunState &run, const RunFigures &figures);

}  // namespace Bench
