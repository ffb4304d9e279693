#include "harness/driverlogs.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace Bench {

bool parseDebugNumberLine(const std::string &line, int *shield, uint32_t *number)
{
    std::istringstream in(line);
    std::string tag, rest;
    long s = -1;
    char colon = 0;
    unsigned long n = 0;
    if (!(in >> tag >> s >> colon >> n) || tag != "#DEBUG" || colon != ':' || (in >> rest))
        return false;
    // ">>" would also take "#DEBUG 3 : 5" or "#DEBUG 3:5"; the driver writes "#DEBUG 3: 5".
    if (line != "#DEBUG " + std::to_string(s) + ": " + std::to_string(n))
        return false;
    *shield = static_cast<int>(s);
    *number = static_cast<uint32_t>(n);
    return true;
}

OverrunReports readOverrunReports(std::istream &in)
{
    static const std::string head = "#WARNING: transfer cycle overran";
    OverrunReports reports;
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, head.size(), head) != 0)
            continue;
        ++reports.lines;
        // The cycle count is the first number after ": " ("... period: 3 cycles late or
        // overran ...") or, in the lines of older drivers, after " in " ("... period in 3
        // cycles of ...").
        bool counted = false;
        for (const char *mark : {": ", " in "}) {
            const size_t width = std::strlen(mark);
            for (size_t at = line.find(mark, head.size()); at != std::string::npos && !counted;
                 at = line.find(mark, at + 1)) {
                const char *digits = line.c_str() + at + width;
                if (*digits >= '0' && *digits <= '9') {
                    reports.cycles += std::strtol(digits, nullptr, 10);
                    counted = true;
                }
            }
            if (counted)
                break;
        }
        const size_t longest = line.find("longest ");
        if (longest != std::string::npos) {
            const char *number = line.c_str() + longest + 8;
            char *end = nullptr;
            const double value = std::strtod(number, &end);
            if (end != number && std::string(end).compare(0, 3, " ms") == 0)
                reports.longestMs = std::max(reports.longestMs, value);
        }
    }
    return reports;
}

CallgrindThread readCallgrind(std::istream &in, const std::vector<std::string> &emulation)
{
    CallgrindThread result;
    const auto startsWith = [](const std::string &text, const std::string &head) {
        return text.compare(0, head.size(), head) == 0;
    };
    const auto emulated = [&](const std::string &function) {
        return std::any_of(emulation.begin(), emulation.end(),
                           [&](const std::string &head) { return startsWith(function, head); });
    };
    std::string function;  // the one the cost lines belong to
    std::string called;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty())
            continue;
        if (startsWith(line, "thread: ")) {
            result.thread = std::atoi(line.c_str() + 8);
        } else if (startsWith(line, "summary: ")) {
            result.instructions = std::strtoull(line.c_str() + 9, nullptr, 10);
        } else if (startsWith(line, "fn=")) {
            function = line.substr(3);
            result.functions.insert(function);
        } else if (startsWith(line, "cfn=")) {
            called = line.substr(4);
            result.functions.insert(called);
        } else if (startsWith(line, "calls=")) {
            result.calls[called] += std::strtoull(line.c_str() + 6, nullptr, 10);
            // The line after is the call's cost, its callee's work included: "<position> <Ir>".
            if (std::getline(in, line) && emulated(called) && !emulated(function)) {
                const size_t space = line.find(' ');
                if (space != std::string::npos)
                    result.emulated += std::strtoull(line.c_str() + space + 1, nullptr, 10);
            }
        }
    }
    return result;
}

uint64_t callsOf(const CallgrindThread &thread, const std::string &prefix)
{
    uint64_t n = 0;
    for (const auto &entry : thread.calls) {
        if (entry.first.compare(0, prefix.size(), prefix) == 0)
            n += entry.second;
    }
    return n;
}

}  // namespace Bench
