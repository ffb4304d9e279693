#pragma once
// The figures of several runs side by side: each run of the harness writes its headline figures
// to summary.tsv (one "key<TAB>value" line each), and the headline table puts them in one column
// per run, with each target judged on the runs it is set for.

#include <istream>
#include <map>
#include <string>
#include <vector>

namespace Bench {

using RunSummary = std::map<std::string, std::string>;

// Lines "key<TAB>value"; other lines are skipped, a later key replaces an earlier one.
RunSummary readSummary(std::istream &in);

// A markdown table, one column per run in the order given. The targets: the median period
// 16.0 ± 0.05 ms and the supervisor tick 2.000 ± 0.01 ms on every run; under load at normal
// priority, driver p99 period deviation at most 1.2 times cyclictest's own; under load at a
// real-time priority, driver p99 deviation at most 0.3 ms and no more cycles over 17 ms than
// cyclictest has wake-ups more than 1 ms late.
std::string headlineTable(const std::vector<RunSummary> &runs);

}  // namespace Bench
