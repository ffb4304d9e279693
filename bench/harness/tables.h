#pragma once
// The harness's commands other than "run": each reads files and prints one markdown table.

#include <string>
#include <vector>

namespace Bench {

// Google Benchmark JSON: wall and CPU time per iteration, a cycle's share of the 16 ms period.
int microTable(const std::string &path);
// The summary.tsv of each run folder, one column per run (headline.h).
int combine(const std::vector<std::string> &dirs);
// One callgrind dump per thread: instructions per transfer cycle, the emulated shields apart.
int callgrindTable(const std::vector<std::string> &paths);

}  // namespace Bench
