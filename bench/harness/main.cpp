// stm-bench-harness: runs stm-driver against shield-sim with six shields, plays a fixed programme
// on it (bring-up, an idle spell, console commands and line events, six calls with audio both
// ways, a capture client for their second half, then a shield that stops answering, then one
// call under four host patterns and six calls on a faster bus), measures from outside, and
// prints one markdown table. cyclictest runs beside the driver in the same time
// window, so the driver's timing stands next to what this machine's scheduler gives any periodic
// task at that moment. A run may put a load on the machine (a busy loop per core and a disk
// writer) and start the driver and cyclictest at a real-time priority; the programme stays the
// same.
//
//   stm-bench-harness run --driver PATH --sim PATH --out DIR [--quick] [--cyclictest PATH]
//                         [--no-realtime]   (shield-sim at normal priority)
//                         [--window-only]   (without the audio-in-time phases after the window)
//                         [--fast-bus-hz HZ] (their faster bus; default 2000000)
//                         [--load]          (the load, from before the window to the last phase)
//                         [--rtprio N]      (driver -rtprio N, cyclictest -p N -m)
//                         [--bus-hz HZ]     (shield-sim --bus-hz HZ: replies take the bus's time)
//                         [--label TEXT]    (the run's name in its outputs)
//                         [--status-tool PATH] (stm-status, the capture client in the calls)
//   stm-bench-harness combine DIR...            (the runs' summary.tsv side by side, markdown)
//   stm-bench-harness micro-table FILE.json     (Google Benchmark JSON to a markdown table)
//   stm-bench-harness callgrind-table FILE...    (one callgrind dump per thread to a markdown
//                                                table of instructions per transfer cycle)

#include "harness/figures.h"
#include "harness/phases.h"
#include "harness/report.h"
#include "harness/tables.h"

#include <csignal>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

using namespace Bench;

namespace {

// The programme, phase by phase; then the figures from its logs, and the report.
int run(const Options &options)
{
    RunState run(options);
    startPeers(run);
    bringUp(run);
    openWindow(run);
    idleWindow(run);
    commandsAndEvents(run);
    calls(run);
    captureHalf(run);
    tickMeasurement(run);
    oneCall(run);
    stopPeers(run);
    fasterBus(run);
    run.load.stop();
    run.audio.stopReceiving();
    writeReport(run, measureRun(run));
    return 0;
}

const char usage[] =
    "usage: stm-bench-harness run --driver PATH --sim PATH --out DIR [--quick] [--cyclictest "
    "PATH]\n"
    "                             [--no-realtime] [--load] [--rtprio N] [--bus-hz HZ] "
    "[--label TEXT]\n"
    "                             [--status-tool PATH] [--window-only] [--fast-bus-hz HZ]\n"
    "       stm-bench-harness combine DIR...\n"
    "       stm-bench-harness micro-table FILE.json\n"
    "       stm-bench-harness callgrind-table FILE...\n";

// The options of "run"; fail() on a bad one.
Options parseRunOptions(const std::vector<std::string> &args)
{
    Options options;
    for (size_t i = 1; i < args.size(); ++i) {
        const auto value = [&]() -> std::string {
            if (i + 1 >= args.size())
                fail(args[i] + " needs a value");
            return args[++i];
        };
        const auto positive = [&]() {
            const std::string text = value();
            char *end = nullptr;
            const long n = std::strtol(text.c_str(), &end, 10);
            if (*end != '\0' || n <= 0)
                fail(args[i - 1] + " needs a positive whole number, not \"" + text + "\"");
            return n;
        };
        if (args[i] == "--driver")
            options.driver = value();
        else if (args[i] == "--sim")
            options.sim = value();
        else if (args[i] == "--out")
            options.outDir = value();
        else if (args[i] == "--cyclictest")
            options.cyclictestPath = value();
        else if (args[i] == "--label")
            options.label = value();
        else if (args[i] == "--status-tool")
            options.statusTool = value();
        else if (args[i] == "--quick")
            options.quick = true;
        else if (args[i] == "--no-realtime")
            options.realTimeSimulator = false;
        else if (args[i] == "--load")
            options.load = true;
        else if (args[i] == "--window-only")
            options.audioInTime = false;
        else if (args[i] == "--rtprio")
            options.rtprio = static_cast<int>(positive());
        else if (args[i] == "--bus-hz")
            options.busHz = positive();
        else if (args[i] == "--fast-bus-hz")
            options.fastBusHz = positive();
        else
            fail("unknown option " + args[i]);
    }
    return options;
}

}  // namespace

int main(int argc, char *argv[])
{
    std::vector<std::string> args(argv + 1, argv + argc);
    // A program that ends early closes its standard input: writing to it then fails, quietly.
    std::signal(SIGPIPE, SIG_IGN);
    if (args.size() == 2 && args[0] == "micro-table")
        return microTable(args[1]);
    if (args.size() >= 2 && args[0] == "callgrind-table")
        return callgrindTable(std::vector<std::string>(args.begin() + 1, args.end()));
    if (args.size() >= 2 && args[0] == "combine")
        return combine(std::vector<std::string>(args.begin() + 1, args.end()));
    const Options options = parseRunOptions(args);
    if (args.empty() || args[0] != "run" || options.driver.empty() || options.sim.empty() ||
        options.outDir.empty()) {
        std::cerr << usage;
        return 2;
    }
    if (options.rtprio > 99)
        fail("--rtprio takes 1 to 99");
    return run(options);
}
