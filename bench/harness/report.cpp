#include "harness/report.h"

#include <cmath>
#include <fstream>
#include <iostream>
#include <sstream>

namespace Bench {

namespace {

struct Row {
    std::string what, figure, beside, target, met;
};

std::string verdict(bool ok)
{
    return ok ? "yes" : "**no**";
}

std::string latencyFigure(const Summary &s)
{
    if (s.count == 0)
        return "no samples";
    return "p50 " + fixed(s.p50, 2) + " ms, p99 " + fixed(s.p99, 2) + " ms (max " +
           fixed(s.max, 2) + ")";
}

std::string share(size_t part, size_t whole)
{
    return std::to_string(part) + " (" +
           fixed(whole ? 100.0 * static_cast<double>(part) / static_cast<double>(whole) : 0, 2) +
           " %)";
}

std::string lossFigure(const LossCount &loss)
{
    return std::to_string(loss.lost) + " / " + std::to_string(loss.duplicated) + " of " +
           std::to_string(loss.given);
}

// An audio transfer is 528 bytes; in a call every shield has one in every cycle.
double audioTransferMs(long busHz)
{
    return 528 * 8 * 1000.0 / static_cast<double>(busHz);
}

void addCycleRows(std::vector<Row> &rows, const RunState &run, const RunFigures &f)
{
    const CycleFigures &c = f.cycles;
    const MachineFigures &m = f.machine;
    const std::string machineRef =
        run.haveCyclictest ? "cyclictest, 16 ms interval" : "(no cyclictest)";
    const Plan &plan = run.plan;
    rows.push_back(
        {"Transfer cycle: median period (" + std::to_string(c.period.count) + " periods over the " +
             std::to_string((plan.window - (plan.dropAt + 500 - plan.commandsEnd)) / 1000) +
             " s of the window without calls)",
         fixed(c.period.p50, 3) + " ms",
         run.haveCyclictest ? machineRef + ": " + fixed(m.period.p50, 3) + " ms" : machineRef,
         "16.0 ± 0.05 ms", verdict(std::fabs(c.period.p50 - cycleMs) <= 0.05)});
    const double ratio = m.latency.p99 > 0 ? c.deviation.p99 / (m.latency.p99 / 1000.0) : 0;
    rows.push_back({"Transfer cycle: p99 of \\|period − 16 ms\\|",
                    fixed(c.deviation.p99, 3) + " ms",
                    run.haveCyclictest
                        ? "cyclictest p99 wake-up latency " + fixed(m.latency.p99 / 1000.0, 3) +
                              " ms: **ratio " + fixed(ratio, 2) +
                              "**; cyclictest's own p99 \\|period − 16 ms\\| " +
                              fixed(m.deviation.p99, 3) + " ms: ratio " +
                              fixed(m.deviation.p99 > 0 ? c.deviation.p99 / m.deviation.p99 : 0, 2)
                        : machineRef,
                    "ratio ≤ 2", run.haveCyclictest ? verdict(ratio <= 2.0) : "–"});
    // The tail: how often each woke more than a millisecond late.
    rows.push_back({"Transfer cycle: longest period; cycles over 17 ms",
                    fixed(c.period.max, 3) + " ms; " + share(c.lateCycles, c.periods.size()),
                    run.haveCyclictest
                        ? "longest cyclictest period " + fixed(m.period.max, 3) +
                              " ms, max wake-up latency " + fixed(m.latency.max / 1000.0, 3) +
                              " ms; wake-ups more than 1 ms late " +
                              share(m.lateWakeUps, m.latencyUs.size())
                        : machineRef,
                    "–", "–"});
    const long busHz = run.options.busHz;
    rows.push_back(
        {"Six calls: median period; cycles over 17 ms (" + std::to_string(c.callPeriod.count) +
             " periods)",
         fixed(c.callPeriod.p50, 3) + " ms; " + share(c.lateCallCycles, c.callPeriods.size()),
         busHz > 0 ? "six long packets take " + fixed(6 * audioTransferMs(busHz), 2) +
                         " ms of bus per cycle"
                   : "replies at once (no bus time)",
         "–", "–"});
    rows.push_back(
        {"Six calls: p99 of the period without / with a capture client (stm-status "
         "--capture, second half of the calls)",
         fixed(c.withoutCapture.p99, 3) + " ms / " + fixed(c.withCapture.p99, 3) + " ms: **ratio " +
             fixed(c.captureRatio, 2) + "**",
         f.captureLine + "; CPU of the driver " + fixed(run.callCpu, 2) + " % / " +
             fixed(run.captureCpu, 2) + " % of one core",
         "ratio ≤ 1.2", run.captured ? verdict(c.captureRatio <= 1.2) : "–"});
    const TickEstimate &tick = f.tick;
    rows.push_back({"Supervisor tick: mean, from " + std::to_string(tick.pings) +
                        " first pings to a shield that never answers (1000 ticks apart)",
                    fixed(tick.meanTickMs, 4) + " ms",
                    "ping intervals " + fixed(tick.minIntervalMs, 1) + " to " +
                        fixed(tick.maxIntervalMs, 1) + " ms",
                    "2.0 ± 0.01 ms",
                    verdict(tick.pings >= 2 && std::fabs(tick.meanTickMs - tickMs) <= 0.01)});
}

void addCostRows(std::vector<Row> &rows, const RunState &run, const RunFigures &f)
{
    rows.push_back({"CPU of the driver: six shields online, idle",
                    fixed(run.idleCpu, 2) + " % of one core", "", "≤ 2 %",
                    verdict(run.idleCpu <= 2.0)});
    rows.push_back({"CPU of the driver: six calls, audio both ways",
                    fixed(run.callCpu, 2) + " % of one core", "", "–", "–"});
    const IdleFigures &idle = f.idle;
    rows.push_back(
        {"Wake-ups per second, six shields idle: supervisor; all threads but the "
         "transfer thread",
         fixed(idle.supervisorWakeups, 1) + "; " + fixed(idle.otherWakeups, 1),
         "voluntary context switches; the status client's ten requests a second "
         "included",
         "≤ 10; ≤ 20", verdict(idle.supervisorWakeups <= 10 && idle.otherWakeups <= 20)});
    rows.push_back({"Wake-ups per second, six shields idle (context switches of the driver)",
                    fixed(idle.switchesPerSecond, 0) + " per second",
                    "all " + std::to_string(idle.threads) +
                        " threads over the idle CPU interval; per thread in the table below",
                    "–", "–"});
    const OverrunReports &o = f.overruns;
    rows.push_back({"Overrun reports of the driver (its standard error, whole run)",
                    o.lines == 0 ? std::string("none")
                                 : std::to_string(o.lines) + " lines, " + std::to_string(o.cycles) +
                                       " cycles, longest " + fixed(o.longestMs, 3) + " ms",
                    "", "–", "–"});
}

void addCommandRows(std::vector<Row> &rows, const RunState &run, const RunFigures &f)
{
    const CommandFigures &c = f.commands;
    rows.push_back({"Console command → its first frame on the bus (" +
                        std::to_string(c.command.count) + " of " +
                        std::to_string(run.commands.size()) + ")",
                    latencyFigure(c.command),
                    std::to_string(c.waitedForSlot) +
                        " waited for the shield's command slot (a second ping or a list word "
                        "unanswered); the other " +
                        std::to_string(c.freeSlot.count) + ": " + latencyFigure(c.freeSlot),
                    "p99 < 17 ms", verdict(c.command.count > 0 && c.command.p99 < 17.0)});
    rows.push_back({"Event frame on the bus → its line on stdout (debug-number events, " +
                        std::to_string(c.event.count) + " of " + std::to_string(run.events.size()) +
                        ")",
                    latencyFigure(c.event), "", "p99 < 1 ms",
                    verdict(c.event.count > 0 && c.event.p99 < 1.0)});
}

// The host's audio into the driver: one call under four host patterns, six calls on the run's
// bus and on a faster one.
void addAudioInRows(std::vector<Row> &rows, const RunState &run, const RunFigures &f)
{
    const OneCallFigures &one = f.oneCall;
    const std::string notRun = "n/a (not run)";
    rows.push_back(
        {"One call, host paced (512 bytes per 16 ms): UDP datagram in → its block on "
         "the bus" +
             (one.ran ? " (" + std::to_string(one.paced.count) + " blocks)" : ""),
         one.ran ? latencyFigure(one.paced) : notRun, "2 cycles are 32 ms", "p99 ≤ 32 ms",
         one.ran ? verdict(one.paced.count > 0 && one.paced.p99 <= 32) : "–"});
    const bool recovered = one.burstRecoveryMs >= 0;
    rows.push_back(
        {"One call, a burst of 20 blocks: from the burst until every block waits "
         "under 48 ms",
         !one.ran    ? notRun
         : recovered ? fixed(one.burstRecoveryMs / 1000, 2) + " s"
                     : "not within the " + fixed(one.burstSpanMs / 1000, 1) + " s after it",
         "", "within 2 s", one.ran ? verdict(recovered && one.burstRecoveryMs <= 2000) : "–"});
    rows.push_back(
        {"One call, host 2 % fast: UDP datagram in → its block on the bus; delivered",
         one.ran ? latencyFigure(one.fast) + "; " + fixed(one.fastDeliveredPct, 1) + " %" : notRun,
         "", "p99 ≤ 64 ms; ≥ 97 %",
         one.ran ? verdict(one.fast.count > 0 && one.fast.p99 <= 64 && one.fastDeliveredPct >= 97)
                 : "–"});
    rows.push_back({"One call, chunks of four blocks every 64 ms: blocks lost / duplicated",
                    one.ran ? lossFigure(one.chunks) : notRun, "", "0 / 0",
                    one.ran ? verdict(one.chunks.given > 0 && one.chunks.lost == 0 &&
                                      one.chunks.duplicated == 0)
                            : "–"});
    const SixCallFigures &six = f.sixCalls;
    rows.push_back(
        {"Six calls: p99 of UDP datagram in → its block on the bus; delivered of the "
         "blocks sent, against what the cycle allows (16 ms / median period)",
         fixed(six.in.p99, 2) + " ms; " + fixed(six.deliveredPct, 1) + " % of " +
             fixed(six.allowedPct, 1) + " %",
         "", "p99 ≤ 64 ms; within 1 %",
         verdict(six.in.count > 0 && six.in.p99 <= 64 && six.deliveredPct >= six.allowedPct - 1)});
    const FasterBusFigures &fast = f.fasterBus;
    const std::string hz = std::to_string(run.options.fastBusHz);
    rows.push_back({"Six calls, driver -spi-hz " + hz + ", shield-sim --bus-hz " + hz +
                        ": UDP datagram in → its block on the bus; lost / duplicated",
                    fast.ran ? latencyFigure(fast.in) + "; " + lossFigure(fast.loss)
                             : "n/a (" + run.fasterBus.why + ")",
                    fast.ran ? "six long packets take " +
                                   fixed(6 * audioTransferMs(run.options.fastBusHz), 2) +
                                   " ms of bus per cycle"
                             : "",
                    "p99 ≤ 32 ms; 0 / 0",
                    fast.ran ? verdict(fast.in.count > 0 && fast.in.p99 <= 32 &&
                                       fast.loss.lost == 0 && fast.loss.duplicated == 0)
                             : "–"});
}

void addAudioRows(std::vector<Row> &rows, const RunState &run, const RunFigures &f)
{
    const SixCallFigures &a = f.sixCalls;
    rows.push_back({"UDP datagram in → its block on the bus (" + std::to_string(a.in.count) +
                        " blocks, host at 512 bytes per 16 ms)",
                    latencyFigure(a.in), "3 cycles are 48 ms", "p99 < 48 ms",
                    verdict(a.in.count > 0 && a.in.p99 < 3 * cycleMs)});
    addAudioInRows(rows, run, f);
    rows.push_back(
        {"Block on the bus → its UDP datagram out (" + std::to_string(a.out.count) + " blocks)",
         latencyFigure(a.out), "", "–", "–"});
    rows.push_back({"Six calls: end of the shield's exchange → its UDP datagram out (" +
                        std::to_string(a.outFromExchangeEnd.count) + " blocks)",
                    latencyFigure(a.outFromExchangeEnd),
                    run.options.busHz > 0
                        ? "the exchange ends " + fixed(audioTransferMs(run.options.busHz), 2) +
                              " ms after it starts"
                        : "replies at once: the exchange's start",
                    "p99 ≤ 6 ms",
                    verdict(a.outFromExchangeEnd.count > 0 && a.outFromExchangeEnd.p99 <= 6)});
    // Six calls need more bus than a cycle has: the jitter buffer lets the surplus go, and the
    // delivered share is judged above against what the cycle allows.
    rows.push_back({"Audio blocks lost / duplicated, host → shield", lossFigure(a.lossIn),
                    "lost: the surplus of six calls on a full bus", "– / 0",
                    verdict(a.lossIn.given > 0 && a.lossIn.duplicated == 0)});
    rows.push_back(
        {"Audio blocks lost / duplicated, shield → host", lossFigure(a.lossOut), "", "0 / 0",
         verdict(a.lossOut.given > 0 && a.lossOut.lost == 0 && a.lossOut.duplicated == 0)});
}

void addBringUpRows(std::vector<Row> &rows, const RunState &run, const RunFigures &f)
{
    const double readyOver = (run.readyMs / f.minimum.readyMs - 1) * 100;
    const double pushedOver = (run.pushedMs / f.minimum.pushedMs - 1) * 100;
    rows.push_back({"Bring-up: start → last \"shield_ready\" of six",
                    fixed(run.readyMs / 1000, 3) + " s",
                    "protocol minimum " + fixed(f.minimum.readyMs / 1000, 3) + " s (+" +
                        fixed(readyOver, 1) + " %)",
                    "within 5 %", verdict(readyOver <= 5)});
    rows.push_back({"Bring-up: start → last end of list push of six",
                    fixed(run.pushedMs / 1000, 3) + " s",
                    "protocol minimum " + fixed(f.minimum.pushedMs / 1000, 3) + " s (+" +
                        fixed(pushedOver, 1) + " %)",
                    "within 5 %", verdict(pushedOver <= 5)});
    rows.push_back({"Peak resident memory (VmHWM)",
                    fixed(static_cast<double>(run.rssKb) / 1024.0, 1) + " MiB", "", "–", "–"});
}

void writeTable(const RunState &run, const RunFigures &f)
{
    std::vector<Row> rows;
    addCycleRows(rows, run, f);
    addCostRows(rows, run, f);
    addCommandRows(rows, run, f);
    addAudioRows(rows, run, f);
    addBringUpRows(rows, run, f);
    std::ostringstream table;
    table << "| Measure | Driver | Beside it | Target | Met |\n|---|---|---|---|---|\n";
    for (const Row &r : rows)
        table << "| " << r.what << " | " << r.figure << " | " << r.beside << " | " << r.target
              << " | " << r.met << " |\n";
    std::ofstream(run.options.outDir + "/table.md") << table.str();
    std::cout << table.str();
}

// Period deviations (period - nominal) of both sources, binned for the picture.
void writeHistogram(const std::string &path, const std::vector<double> &driver,
                    const std::vector<double> &machine)
{
    const double binUs = 50, limitUs = 3000;
    const int bins = static_cast<int>(2 * limitUs / binUs) + 1;
    std::vector<size_t> a(static_cast<size_t>(bins)), b(static_cast<size_t>(bins));
    const auto put = [&](std::vector<size_t> &counts, double periodMs) {
        double us = (periodMs - cycleMs) * 1000.0;
        us = std::max(-limitUs, std::min(limitUs, us));  // beyond the edges: into the edge bins
        ++counts[static_cast<size_t>(std::lround((us + limitUs) / binUs))];
    };
    for (double p : driver)
        put(a, p);
    for (double p : machine)
        put(b, p);
    std::ofstream out(path);
    out << "# period - 16 ms (us), driver count, cyclictest count; edge bins hold all beyond\n";
    for (int i = 0; i < bins; ++i)
        out << (i * binUs - limitUs) << ' ' << a[static_cast<size_t>(i)] << ' '
            << b[static_cast<size_t>(i)] << '\n';
}

// What each thread of the driver cost while six shields were idle.
void writeIdleTable(const RunState &run, const RunFigures &f)
{
    std::ofstream idle(run.options.outDir + "/idle.md");
    idle << "| Thread (name) | Threads | CPU, % of one core | Wake-ups per second | Context "
            "switches per second |\n|---|---|---|---|---|\n";
    double cpu = 0, wakeups = 0;
    for (const ThreadCost &c : run.idleCosts) {
        idle << "| " << c.comm << " | " << c.threads << " | " << fixed(c.cpuPercent, 2) << " | "
             << fixed(c.wakeupsPerSecond, 1) << " | " << fixed(c.switchesPerSecond, 1) << " |\n";
        cpu += c.cpuPercent;
        wakeups += c.wakeupsPerSecond;
    }
    idle << "| all | " << f.idle.threads << " | " << fixed(cpu, 2) << " | " << fixed(wakeups, 1)
         << " | " << fixed(f.idle.switchesPerSecond, 1) << " |\n";
}

}  // namespace

void writeReport(const RunState &run, const RunFigures &figures)
{
    writeTable(run, figures);
    writeHistogram(run.options.outDir + "/histogram.dat", figures.cycles.periods,
                   figures.machine.periods);
    writeIdleTable(run, figures);
    writeSummary(run, figures);
    writeNotes(run, figures);
}

}  // namespace Bench
