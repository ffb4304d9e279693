#include "harness/headline.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace Bench {

namespace {

const std::string none = "–";

// The value of a key as a number; false when absent or not a number.
bool number(const RunSummary &run, const std::string &key, double *value)
{
    const auto found = run.find(key);
    if (found == run.end() || found->second.empty())
        return false;
    char *end = nullptr;
    *value = std::strtod(found->second.c_str(), &end);
    return *end == '\0';
}

std::string text(const RunSummary &run, const std::string &key)
{
    const auto found = run.find(key);
    return found == run.end() || found->second.empty() ? none : found->second;
}

std::string fixed(double value, int decimals)
{
    char out[64];
    std::snprintf(out, sizeof out, "%.*f", decimals, value);
    return out;
}

// A figure with the unit, or the dash when the run has none.
std::string figure(const RunSummary &run, const std::string &key, int decimals,
                   const std::string &unit)
{
    double v = 0;
    return number(run, key, &v) ? fixed(v, decimals) + unit : none;
}

std::string judged(const std::string &figure, bool met)
{
    return figure + (met ? " — met" : " — **not met**");
}

bool loaded(const RunSummary &run)
{
    double v = 0;
    return number(run, "load", &v) && v != 0;
}

int rtprio(const RunSummary &run)
{
    double v = 0;
    return number(run, "rtprio", &v) ? static_cast<int>(v) : 0;
}

}  // namespace

RunSummary readSummary(std::istream &in)
{
    RunSummary run;
    std::string line;
    while (std::getline(in, line)) {
        const size_t tab = line.find('\t');
        if (tab == std::string::npos || tab == 0)
            continue;
        run[line.substr(0, tab)] = line.substr(tab + 1);
    }
    return run;
}

namespace {

// The table being written: a row at a time, one cell per run.
class Table
{
public:
    explicit Table(const std::vector<RunSummary> &runs) : runs(runs)
    {
        out << "| Measure |";
        for (const RunSummary &run : runs)
            out << ' ' << text(run, "label") << " |";
        out << " Target |\n|---|";
        for (size_t i = 0; i <= runs.size(); ++i)
            out << "---|";
        out << '\n';
    }
    template <typename Cell>
    void row(const std::string &what, const std::string &target, Cell cell)
    {
        out << "| " << what << " |";
        for (const RunSummary &run : runs)
            out << ' ' << cell(run) << " |";
        out << ' ' << target << " |\n";
    }
    std::string markdown() const { return out.str(); }

private:
    const std::vector<RunSummary> &runs;
    std::ostringstream out;
};

// The transfer cycle's period against cyclictest's, and the six calls' cycles.
void addCycleRows(Table &table)
{
    const auto row = [&](const std::string &what, const std::string &target, auto cell) {
        table.row(what, target, cell);
    };
    row("Transfer cycle: median period", "16.0 ± 0.05 ms", [](const RunSummary &run) {
        double v = 0;
        if (!number(run, "median_period_ms", &v))
            return none;
        return judged(fixed(v, 3) + " ms", std::fabs(v - 16.0) <= 0.05);
    });
    row("Driver: p99 of \\|period − 16 ms\\|", "≤ 0.3 ms under load at a real-time priority",
        [](const RunSummary &run) {
            double v = 0;
            if (!number(run, "p99_dev_ms", &v))
                return none;
            const std::string f = fixed(v, 3) + " ms";
            return loaded(run) && rtprio(run) > 0 ? judged(f, v <= 0.3) : f;
        });
    row("cyclictest's own p99 of \\|period − 16 ms\\|; ratio driver / cyclictest",
        "ratio ≤ 1.2 under load at normal priority", [](const RunSummary &run) {
            double dev = 0, ratio = 0;
            if (!number(run, "cyclictest_p99_dev_ms", &dev) ||
                !number(run, "ratio_p99_dev", &ratio))
                return none;
            const std::string f = fixed(dev, 3) + " ms; ratio " + fixed(ratio, 2);
            return loaded(run) && rtprio(run) == 0 ? judged(f, ratio <= 1.2) : f;
        });
    row("Cycles over 17 ms",
        "under load at a real-time priority, no more than cyclictest's late wake-ups",
        [](const RunSummary &run) {
            double late = 0, pct = 0, machineLate = 0;
            if (!number(run, "cycles_over_17ms", &late) ||
                !number(run, "cycles_over_17ms_pct", &pct))
                return none;
            const std::string f = fixed(late, 0) + " (" + fixed(pct, 2) + " %)";
            if (!loaded(run) || rtprio(run) == 0)
                return f;
            if (!number(run, "cyclictest_late_wakeups", &machineLate))
                return f + " (no cyclictest)";
            return judged(f, late <= machineLate);
        });
    row("cyclictest: wake-ups more than 1 ms late", none, [](const RunSummary &run) {
        double late = 0, pct = 0;
        if (!number(run, "cyclictest_late_wakeups", &late) ||
            !number(run, "cyclictest_late_pct", &pct))
            return none;
        return fixed(late, 0) + " (" + fixed(pct, 2) + " %)";
    });
    row("Longest period: driver / cyclictest", none, [](const RunSummary &run) {
        return figure(run, "longest_period_ms", 3, " ms") + " / " +
               figure(run, "cyclictest_longest_period_ms", 3, " ms");
    });
    row("Six calls (six long packets, more bus than a cycle): median period; cycles over 17 ms",
        none, [](const RunSummary &run) {
            double late = 0, pct = 0;
            if (!number(run, "call_cycles_over_17ms", &late) ||
                !number(run, "call_cycles_over_17ms_pct", &pct))
                return none;
            return figure(run, "call_median_period_ms", 3, " ms") + "; " + fixed(late, 0) + " (" +
                   fixed(pct, 2) + " %)";
        });
    row("Six calls: p99 of the period without / with a capture client", "ratio ≤ 1.2",
        [](const RunSummary &run) {
            double ratio = 0;
            if (!number(run, "capture_ratio_p99", &ratio))
                return none;
            return judged(figure(run, "call_p99_period_ms", 3, " ms") + " / " +
                              figure(run, "capture_call_p99_period_ms", 3, " ms") + "; ratio " +
                              fixed(ratio, 2),
                          ratio <= 1.2);
        });
}

// The supervisor's tick, what the driver costs, its overrun reports.
void addCostRows(Table &table)
{
    const auto row = [&](const std::string &what, const std::string &target, auto cell) {
        table.row(what, target, cell);
    };
    row("Supervisor tick: mean", "2.000 ± 0.01 ms", [](const RunSummary &run) {
        double v = 0;
        if (!number(run, "supervisor_tick_ms", &v) || v <= 0)
            return none;
        return judged(fixed(v, 4) + " ms", std::fabs(v - 2.0) <= 0.01);
    });
    row("CPU of the driver: idle / six calls (% of one core)", none, [](const RunSummary &run) {
        return figure(run, "idle_cpu_pct", 2, " %") + " / " + figure(run, "call_cpu_pct", 2, " %");
    });
    row("Context switches per second, six shields idle", none,
        [](const RunSummary &run) { return figure(run, "idle_wakeups_per_s", 0, ""); });
    row("Wake-ups per second, six shields idle: supervisor; all but the transfer thread",
        "≤ 10; ≤ 20", [](const RunSummary &run) {
            return figure(run, "idle_supervisor_wakeups_per_s", 1, "") + "; " +
                   figure(run, "idle_other_wakeups_per_s", 1, "");
        });
    row("Overrun reports of the driver", none, [](const RunSummary &run) {
        double lines = 0, cycles = 0, longest = 0;
        if (!number(run, "overrun_lines", &lines))
            return none;
        if (lines == 0)
            return std::string("none");
        number(run, "overrun_cycles", &cycles);
        number(run, "overrun_longest_ms", &longest);
        return fixed(lines, 0) + " lines, " + fixed(cycles, 0) + " cycles, longest " +
               fixed(longest, 3) + " ms";
    });
}

// The host's audio to the bus: its p99 delay with one call, six calls, six calls on the faster
// bus.
void addAudioRows(Table &table)
{
    table.row("Host audio → bus, p99: one call paced; six calls; six calls on the faster bus",
              "≤ 32 ms; ≤ 64 ms; ≤ 32 ms", [](const RunSummary &run) {
                  double one = 0, six = 0, fast = 0;
                  const bool hasOne = number(run, "one_call_paced_p99_ms", &one);
                  const bool hasSix = number(run, "six_calls_in_p99_ms", &six);
                  const bool hasFast = number(run, "faster_bus_in_p99_ms", &fast);
                  if (!hasOne && !hasSix && !hasFast)
                      return none;
                  const auto cell = [](bool has, double v, double limit) {
                      return has ? judged(fixed(v, 1) + " ms", v <= limit) : none;
                  };
                  return cell(hasOne, one, 32) + "; " + cell(hasSix, six, 64) + "; " +
                         cell(hasFast, fast, 32);
              });
}

}  // namespace

std::string headlineTable(const std::vector<RunSummary> &runs)
{
    Table table(runs);
    addCycleRows(table);
    addCostRows(table);
    addAudioRows(table);
    return table.markdown();
}

}  // namespace Bench
