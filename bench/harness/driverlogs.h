#pragma once
// What the harness reads from the driver's own outputs and from callgrind's dumps: the overrun
// reports on standard error, the debug-number event lines on standard output, and each thread's
// instructions and calls.

#include <cstdint>
#include <istream>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace Bench {

// A debug-number event line of a multi-shield driver, "#DEBUG 3: 3001": shield and number.
bool parseDebugNumberLine(const std::string &line, int *shield, uint32_t *number);

// The driver's reports on its standard error that transfer cycles overran their period, lines
// such as "#WARNING: transfer cycle overran its 16 ms period in 3 cycles of the last 5 s;
// longest 17.412 ms".
struct OverrunReports {
    size_t lines = 0;
    long cycles = 0;       // the sum of the cycle counts of the lines
    double longestMs = 0;  // the longest cycle any line names
};
OverrunReports readOverrunReports(std::istream &in);

// One thread's part of a callgrind dump taken with --separate-threads=yes --compress-strings=no:
// the instructions it ran, those it ran in calls from other code into functions whose names
// begin with one of `emulation` (the emulated shields, not there on the board), the calls of each
// function, and the names of the functions on its stacks.
struct CallgrindThread {
    int thread = 0;
    uint64_t instructions = 0;
    uint64_t emulated = 0;
    std::map<std::string, uint64_t> calls;
    std::set<std::string> functions;
};
CallgrindThread readCallgrind(std::istream &in, const std::vector<std::string> &emulation);
// The calls of every function whose name begins with `prefix` ("SPItransmitter::main_func(").
uint64_t callsOf(const CallgrindThread &thread, const std::string &prefix);

}  // namespace Bench
