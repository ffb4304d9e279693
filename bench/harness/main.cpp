// stm-bench-harness: runs stm-driver against shield-sim with six shields, plays a fixed programme
// on it (bring-up, an idle spell, console commands and line events, six calls with audio both
// ways, a capture client for their second half, then a shield that stops answering), measures
// from outside, and prints one markdown table. cyclictest runs beside the driver in the same time
// window, so the driver's timing stands next to what this machine's scheduler gives any periodic
// task at that moment. A run may put a load on the machine (a busy loop per core and a disk
// writer) and start the driver and cyclictest at a real-time priority; the programme stays the
// same.
//
//   stm-bench-harness run --driver PATH --sim PATH --out DIR [--quick] [--cyclictest PATH]
//                         [--no-realtime]   (shield-sim at normal priority)
//                         [--load]          (the load, from before the window to after the tick)
//                         [--rtprio N]      (driver -rtprio N, cyclictest -p N -m)
//                         [--bus-hz HZ]     (shield-sim --bus-hz HZ: replies take the bus's time)
//                         [--label TEXT]    (the run's name in its outputs)
//                         [--status-tool PATH] (stm-status, the capture client in the calls)
//   stm-bench-harness combine DIR...            (the runs' summary.tsv side by side, markdown)
//   stm-bench-harness micro-table FILE.json     (Google Benchmark JSON to a markdown table)
//   stm-bench-harness callgrind-table FILE...    (one callgrind dump per thread to a markdown
//                                                table of instructions per transfer cycle)

#include "harness/analysis.h"
#include "harness/audiopeer.h"
#include "harness/child.h"
#include "harness/headline.h"
#include "harness/load.h"
#include "harness/statuspoller.h"

#include <QByteArray>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace Bench;

namespace {

constexpr double cycleMs = 16.0;
constexpr double tickMs = 2.0;
constexpr int ticksPerFirstPing = 1000;
constexpr int silentShield = 5;  // the shield that stops answering for the tick measurement
constexpr int64_t ms = 1000000;  // nanoseconds

// Time plan of one run, in milliseconds from the start of the measuring window.
struct Plan {
    int64_t window;       // cycle periods and cyclictest
    int64_t idleEnd;      // idle from the start of the window
    int64_t commandsEnd;  // console commands and line events until then
    int64_t sendStart;    // audio from the host (the calls start at commandsEnd)
    int64_t sendEnd;
    int64_t dropAt;  // calls end
    int64_t tick;    // first pings to the silent shield, after it was lost
};

const Plan fullPlan{60000, 20000, 32000, 32500, 56500, 57000, 30000};
const Plan quickPlan{24000, 6000, 10000, 10500, 20500, 21000, 12000};

void sleepUntil(int64_t ns)
{
    timespec at{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
    }
}

std::string fixed(double value, int decimals)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

[[noreturn]] void fail(const std::string &why)
{
    std::cerr << "stm-bench-harness: " << why << std::endl;
    std::exit(1);
}

// The simulator plays the bus, so its time stamps should follow the driver's transfers as a
// logic analyser would: its threads get the lowest real-time priority when the system allows it,
// and the thread that serves the bus ("simbus-serve") one above the driver's when the driver runs
// at one (a bus is hardware: it never waits for the driver's CPU, and the simulator's other work,
// such as writing the timing log, must not take the driver's CPU). The driver and cyclictest keep
// the priority the run gives them. Returns whether every thread got it.
bool raiseToRealTime(pid_t pid, int busPriority)
{
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR *dir = ::opendir(tasks.c_str());
    if (!dir)
        return false;
    bool all = true;
    while (dirent *entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        std::ifstream comm(tasks + "/" + entry->d_name + "/comm");
        std::string name;
        std::getline(comm, name);
        sched_param param{};
        param.sched_priority = name == "simbus-serve" ? busPriority : 1;
        all = ::sched_setscheduler(std::atoi(entry->d_name), SCHED_FIFO, &param) == 0 && all;
    }
    ::closedir(dir);
    return all;
}

// Whether the driver's own audio ports (20003 + 2i) are free now: another driver that holds them
// would take the host's audio of this run.
bool driverPortsFree()
{
    bool free = true;
    for (int i = 0; i < AudioPeer::shields && free; ++i) {
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(AudioPeer::driverPortBase + 2 * i));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        free = fd >= 0 &&
               ::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
        if (fd >= 0)
            ::close(fd);
    }
    if (!free)
        errno = EADDRINUSE;
    return free;
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

struct Options {
    std::string driver, sim, outDir, cyclictestPath, label, statusTool;
    bool quick = false;
    bool realTimeSimulator = true;
    bool load = false;
    int rtprio = 0;  // 0: normal priority
    long busHz = 0;  // 0: shield-sim's default (replies at once)
};

int run(const Options &options)
{
    const std::string &driver = options.driver, &sim = options.sim, &outDir = options.outDir,
                      &cyclictestPath = options.cyclictestPath;
    const bool quick = options.quick, realTimeSimulator = options.realTimeSimulator;
    const std::string label = options.label.empty() ? "run" : options.label;
    const Plan plan = quick ? quickPlan : fullPlan;
    ::mkdir(outDir.c_str(), 0755);
    const std::string socket = outDir + "/bus.sock";
    const std::string timingLog = outDir + "/transfers.log";
    ::unlink(socket.c_str());

    // The audio ports are fixed: on a machine where tests run drivers too, wait for them.
    AudioPeer audio;
    const int64_t portsDeadline = nowNs() + 600000 * ms;
    bool told = false;
    while (!driverPortsFree() || !audio.listen()) {
        if (errno != EADDRINUSE || nowNs() > portsDeadline)
            fail(std::string("cannot bind the audio ports 20002-20013 (") +
                 std::strerror(errno) + "): is another driver or test using them?");
        if (!told)
            std::cerr << "the audio ports 20002-20013 are in use; waiting up to 10 minutes"
                      << std::endl;
        told = true;
        ::usleep(500000);
    }
    audio.startReceiving();

    std::cerr << "run \"" << label << "\" in " << outDir << std::endl;
    Child simulator;
    std::vector<std::string> simArgs{sim,      "--socket", socket, "--multishield", "--timing-log",
                                     timingLog};
    if (options.busHz > 0)
        simArgs.insert(simArgs.end(), {"--bus-hz", std::to_string(options.busHz)});
    if (!simulator.start(simArgs, outDir + "/shield-sim.out", outDir + "/shield-sim.err"))
        fail("cannot start " + sim);
    for (int i = 0; i < 100 && ::access(socket.c_str(), F_OK) != 0; ++i)
        ::usleep(50000);
    if (::access(socket.c_str(), F_OK) != 0)
        fail("shield-sim did not open its socket (see " + outDir + "/shield-sim.err)");
    ::usleep(100000);  // its input reader starts after the socket is there
    const int simulatorPriority = options.rtprio > 0 ? std::min(99, options.rtprio + 1) : 1;
    const bool simulatorRealTime =
        realTimeSimulator && raiseToRealTime(simulator.pid(), simulatorPriority);
    for (int s = 0; s < AudioPeer::shields; ++s)
        simulator.writeLine("loopback " + std::to_string(s) + " on");

    // Bring-up: six shields from the driver's start.
    Child stm;
    const int64_t started = nowNs();
    const std::string statusSocket = outDir + "/status.sock";
    std::vector<std::string> driverArgs{driver,    "-multishield", "-ic",     "10",
                                        "-simbus", socket,         "-status", statusSocket};
    if (options.rtprio > 0)
        driverArgs.insert(driverArgs.end(), {"-rtprio", std::to_string(options.rtprio)});
    if (!stm.start(driverArgs, std::string(), outDir + "/driver.err"))
        fail("cannot start " + driver);
    std::cerr << "driver started (pid " << stm.pid() << "), waiting for six shields" << std::endl;
    int64_t lastReady = 0, lastPushed = 0;
    for (int s = 0; s < AudioPeer::shields; ++s) {
        const std::string n = std::to_string(s);
        const int64_t ready = stm.waitForLine(n + " shield_ready", started + 40000 * ms);
        const int64_t pushed =
            stm.waitForLine("#Shield " + n + " update black list", started + 60000 * ms);
        if (ready < 0 || pushed < 0)
            fail("shield " + n + " did not come into service (see " + outDir + ")");
        lastReady = std::max(lastReady, ready);
        lastPushed = std::max(lastPushed, pushed);
    }
    const double readyMs = static_cast<double>(lastReady - started) / 1e6;
    const double pushedMs = static_cast<double>(lastPushed - started) / 1e6;

    // The load, when asked for, settles for a moment before the window.
    Load load;
    const int cpus = static_cast<int>(::sysconf(_SC_NPROCESSORS_ONLN));
    if (options.load) {
        if (!load.start(cpus, outDir + "/load-io.bin"))
            fail(std::string("cannot start the load (") + std::strerror(errno) + ")");
        std::cerr << "load: " << cpus << " busy loops and a disk writer" << std::endl;
    }

    // The measuring window, with cyclictest beside the driver.
    sleepUntil(nowNs() + (options.load ? 2000 : 500) * ms);
    const int64_t w0 = nowNs();
    Child cyclictest;
    std::vector<std::string> cyclictestArgs{
        cyclictestPath, "-i", "16000", "-D", std::to_string(plan.window / 1000), "-q", "-v"};
    if (options.rtprio > 0)
        cyclictestArgs.insert(cyclictestArgs.end(), {"-p", std::to_string(options.rtprio), "-m"});
    bool haveCyclictest =
        !cyclictestPath.empty() &&
        cyclictest.start(cyclictestArgs, outDir + "/cyclictest.out", outDir + "/cyclictest.err");
    // A technician's stm-status beside it, ten requests a second.
    StatusPoller statusPoller(statusSocket);
    statusPoller.start(100);
    std::cerr << "measuring window of " << plan.window / 1000 << " s: idle, commands and events, "
              << "six calls, status requests" << std::endl;

    // Idle.
    sleepUntil(w0 + 2000 * ms);
    const int64_t idleFrom = nowNs();
    const double idleCpu0 = processCpuSeconds(stm.pid());
    const std::vector<ThreadSample> idleThreads0 = sampleThreads(stm.pid());
    sleepUntil(w0 + plan.idleEnd * ms);
    const std::vector<ThreadSample> idleThreads1 = sampleThreads(stm.pid());
    const double idleSeconds = static_cast<double>(nowNs() - idleFrom) / 1e9;
    const double idleCpu = (processCpuSeconds(stm.pid()) - idleCpu0) / idleSeconds * 100.0;
    const std::vector<ThreadCost> idleCosts =
        threadCosts(idleThreads0, idleThreads1, idleSeconds, ::sysconf(_SC_CLK_TCK));

    // Console commands and line events, alternately, 100 ms apart at a random phase of the cycle.
    std::mt19937 random(1);
    std::uniform_int_distribution<int> phase(0, 15);
    std::vector<Stamp> commands, events;
    for (int k = 0;; ++k) {
        const int64_t at = w0 + (plan.idleEnd + 100 * k + phase(random)) * ms;
        if (at >= w0 + (plan.commandsEnd - 100) * ms)
            break;
        sleepUntil(at);
        const int shield = (k / 2) % AudioPeer::shields;
        const std::string s = std::to_string(shield);
        if (k % 2 == 0) {
            const uint32_t number = 1000 + static_cast<uint32_t>(k);
            commands.push_back(
                {stm.writeLine(s + " dial " + std::to_string(number)), shield, number});
        } else {
            // Debug-number events take the same road as dials (parser, line), but the driver's
            // dial-flood guard would stop reporting dials that come this close together.
            const uint32_t number = 3000 + static_cast<uint32_t>(k);
            events.push_back({simulator.writeLine("debugnum " + s + " " + std::to_string(number)),
                              shield, number});
        }
    }

    // Six calls with audio both ways.
    sleepUntil(w0 + plan.commandsEnd * ms);
    for (int s = 0; s < AudioPeer::shields; ++s)
        stm.writeLine(std::to_string(s) + " pickup");
    sleepUntil(w0 + plan.sendStart * ms);
    audio.startSending(static_cast<int64_t>(cycleMs * ms));
    sleepUntil(w0 + (plan.sendStart + 1000) * ms);
    const int64_t callFrom = nowNs();
    const double callCpu0 = processCpuSeconds(stm.pid());
    // The second half of the calls with a technician's capture of every exchange beside them.
    sleepUntil(w0 + (plan.sendStart + 1000 + plan.sendEnd) / 2 * ms);
    const int64_t captureFrom = nowNs();
    const double callCpu = (processCpuSeconds(stm.pid()) - callCpu0) /
                           (static_cast<double>(captureFrom - callFrom) / 1e9) * 100.0;
    Child captureClient;
    const bool captured =
        !options.statusTool.empty() &&
        captureClient.start({options.statusTool, "-s", statusSocket, "--capture",
                             outDir + "/capture.pcap"},
                            outDir + "/capture.out", outDir + "/capture.err");
    const double captureCpu0 = processCpuSeconds(stm.pid());
    sleepUntil(w0 + plan.sendEnd * ms);
    const int64_t captureTo = nowNs();
    const double captureCpu = (processCpuSeconds(stm.pid()) - captureCpu0) /
                              (static_cast<double>(captureTo - captureFrom) / 1e9) * 100.0;
    captureClient.stop();  // SIGTERM: it closes the file
    audio.stopSending();
    sleepUntil(w0 + plan.dropAt * ms);
    for (int s = 0; s < AudioPeer::shields; ++s)
        stm.writeLine(std::to_string(s) + " drop");
    sleepUntil(w0 + plan.window * ms);
    const int64_t w1 = nowNs();
    statusPoller.stop();
    std::cerr << "status socket: " << statusPoller.answers() << " answers, "
              << statusPoller.failures() << " requests without one" << std::endl;

    if (haveCyclictest) {
        for (int i = 0; i < 200 && cyclictest.running(); ++i)
            ::usleep(50000);
        haveCyclictest = !cyclictest.running();
    }

    if (!stm.running())
        fail("the driver ended during the window (" + stm.howItEnded() + "; see " + outDir +
             "/driver.err)");

    // The supervisor tick: a shield that stops answering is lost, then pinged every 1000 ticks.
    std::cerr << "shield " << silentShield << " stops answering; timing its first pings"
              << std::endl;
    simulator.writeLine("mute " + std::to_string(silentShield));
    const int64_t lost =
        stm.waitForLine(std::to_string(silentShield) + " shield_disconect", nowNs() + 40000 * ms);
    if (lost < 0)
        fail(stm.running() ? std::string("the silent shield was not reported lost")
                           : "the driver ended while its shield was lost (" + stm.howItEnded() +
                                 "; see " + outDir + "/driver.err)");
    sleepUntil(lost + plan.tick * ms);
    const int64_t tickEnd = nowNs();
    load.stop();
    const long rssKb = peakRssKb(stm.pid());
    const bool driverAlive = stm.running();

    stm.stop();
    sleepUntil(nowNs() + 400 * ms);  // shield-sim writes the rest of its log when the driver goes
    simulator.stop();
    audio.stopReceiving();
    if (!driverAlive)
        fail("the driver ended during the run (" + stm.howItEnded() + "; see " + outDir +
             "/driver.err)");
    std::ifstream driverErr(outDir + "/driver.err");
    const OverrunReports overruns = readOverrunReports(driverErr);

    {
        std::ofstream out(outDir + "/driver.out");
        for (const Line &line : stm.linesSoFar())
            out << line.ns << ' ' << line.text << '\n';
        std::ofstream stimuli(outDir + "/stimuli.log");
        for (const Stamp &c : commands)
            stimuli << c.ns << " command " << c.shield << " dial " << c.key << '\n';
        for (const Stamp &e : events)
            stimuli << e.ns << " event " << e.shield << " debugnum " << e.key << '\n';
        stimuli << w0 << " window-start\n"
                << w1 << " window-end\n"
                << lost << " shield-lost\n"
                << tickEnd << " tick-end\n";
    }

    // Analysis.
    const std::vector<Transfer> log = readTransferLog(timingLog);
    if (log.empty())
        fail("no transfers in " + timingLog);
    // The six calls need six long packets per cycle, 6 x 2.70 ms of bus at the driver's clock:
    // more than the 16 ms cycle. Their cycles show that budget (a row of their own); the timing
    // figures come from the rest of the window, where the bus has room.
    const int64_t callsFrom = w0 + plan.commandsEnd * ms;
    const int64_t callsTo = w0 + (plan.dropAt + 500) * ms;
    std::vector<double> periods = cyclePeriods(log, 0, w0, callsFrom);
    for (double p : cyclePeriods(log, 0, callsTo, w1))
        periods.push_back(p);
    const std::vector<double> callPeriods = cyclePeriods(log, 0, callsFrom, callsTo);
    const Summary callPeriod = summarize(callPeriods);
    const Summary withoutCapture = summarize(cyclePeriods(log, 0, callFrom, captureFrom));
    const Summary withCapture = summarize(cyclePeriods(log, 0, captureFrom, captureTo));
    const double captureRatio = withoutCapture.p99 > 0 ? withCapture.p99 / withoutCapture.p99 : 0;
    // stm-status's last line: "stm-status: N records written, M lost".
    std::string captureLine = "no capture client";
    if (captured) {
        std::ifstream err(outDir + "/capture.err");
        for (std::string line; std::getline(err, line);) {
            if (line.find(" records written") != std::string::npos)
                captureLine = line.substr(line.find(": ") + 2);
        }
    }
    const Summary period = summarize(periods);
    const Summary deviation = summarize(deviations(periods, cycleMs));
    const TickEstimate tick = tickFromPings(log, silentShield, lost, tickEnd, ticksPerFirstPing);

    std::vector<double> machineLatency, machinePeriods;
    if (haveCyclictest) {
        std::ifstream in(outDir + "/cyclictest.out");
        machineLatency = parseCyclictest(in);
        machinePeriods = periodsFromLatencies(machineLatency, 16000);
    }
    const Summary latency =
        summarize(std::vector<double>(machineLatency.begin(), machineLatency.end()));
    const Summary machinePeriod = summarize(machinePeriods);
    const Summary machineDeviation = summarize(deviations(machinePeriods, cycleMs));

    // Console command to the bus: the first frame with the command's code and number; apart,
    // the commands that had to wait for the shield's one command slot (a second ping or another
    // command still unanswered).
    const std::vector<Stamp> dialsOnBus = commandsOnBus(log, 0x13);
    std::vector<double> commandTimes, freeSlotTimes;
    for (const Stamp &c : commands) {
        const std::vector<double> one = matchLatencies({c}, dialsOnBus);
        if (one.empty())
            continue;
        commandTimes.push_back(one.front());
        if (!slotWasTaken(log, c, c.ns + static_cast<int64_t>(one.front() * ms), 0x13,
                          static_cast<int64_t>(2 * cycleMs * ms)))
            freeSlotTimes.push_back(one.front());
    }
    const Summary commandLatency = summarize(commandTimes);
    const Summary freeSlotLatency = summarize(freeSlotTimes);
    // Event on the bus to its line: the first offer of each event frame to the first line.
    std::vector<Stamp> eventLines;
    for (const Line &line : stm.linesSoFar()) {
        int shield = -1;
        uint32_t number = 0;
        if (parseDebugNumberLine(line.text, &shield, &number))
            eventLines.push_back({line.ns, shield, number});
    }
    const Summary eventLatency =
        summarize(matchLatencies(firstOccurrences(eventsOnBus(log, 0xE3)), eventLines));
    // Audio: host datagram to the bus, and the shield's block (the host's block played back)
    // from the bus to the host datagram.
    const std::vector<Stamp> toShield = audioToShield(log);
    const std::vector<Stamp> fromShield = audioFromShield(log);
    const Summary audioIn = summarize(matchLatencies(audio.sent(), firstOccurrences(toShield)));
    const Summary audioOut =
        summarize(matchLatencies(firstOccurrences(fromShield), audio.received()));
    const LossCount lossIn = countLoss(audio.sent(), toShield);
    const LossCount lossOut = countLoss(fromShield, audio.received());

    const BringUpMinimum minimum = protocolMinimum(cycleMs, tickMs);

    // The table.
    std::vector<Row> rows;
    const std::string machineRef =
        haveCyclictest ? "cyclictest, 16 ms interval" : "(no cyclictest)";
    rows.push_back(
        {"Transfer cycle: median period (" + std::to_string(period.count) + " periods over the " +
             std::to_string((plan.window - (plan.dropAt + 500 - plan.commandsEnd)) / 1000) +
             " s of the window without calls)",
         fixed(period.p50, 3) + " ms",
         haveCyclictest ? machineRef + ": " + fixed(machinePeriod.p50, 3) + " ms" : machineRef,
         "16.0 ± 0.05 ms", verdict(std::fabs(period.p50 - cycleMs) <= 0.05)});
    const double ratio = latency.p99 > 0 ? deviation.p99 / (latency.p99 / 1000.0) : 0;
    rows.push_back(
        {"Transfer cycle: p99 of \\|period − 16 ms\\|", fixed(deviation.p99, 3) + " ms",
         haveCyclictest
             ? "cyclictest p99 wake-up latency " + fixed(latency.p99 / 1000.0, 3) +
                   " ms: **ratio " + fixed(ratio, 2) +
                   "**; cyclictest's own p99 \\|period − 16 ms\\| " +
                   fixed(machineDeviation.p99, 3) + " ms: ratio " +
                   fixed(machineDeviation.p99 > 0 ? deviation.p99 / machineDeviation.p99 : 0, 2)
             : machineRef,
         "ratio ≤ 2", haveCyclictest ? verdict(ratio <= 2.0) : "–"});
    // The tail: how often each woke more than a millisecond late.
    const auto share = [](size_t part, size_t whole) {
        return std::to_string(part) + " (" +
               fixed(whole ? 100.0 * static_cast<double>(part) / static_cast<double>(whole) : 0,
                     2) +
               " %)";
    };
    const size_t lateCycles = static_cast<size_t>(
        std::count_if(periods.begin(), periods.end(), [](double p) { return p > cycleMs + 1; }));
    const size_t lateWakeUps = static_cast<size_t>(std::count_if(
        machineLatency.begin(), machineLatency.end(), [](double us) { return us > 1000; }));
    rows.push_back({"Transfer cycle: longest period; cycles over 17 ms",
                    fixed(period.max, 3) + " ms; " + share(lateCycles, periods.size()),
                    haveCyclictest
                        ? "longest cyclictest period " + fixed(machinePeriod.max, 3) +
                              " ms, max wake-up latency " + fixed(latency.max / 1000.0, 3) +
                              " ms; wake-ups more than 1 ms late " +
                              share(lateWakeUps, machineLatency.size())
                        : machineRef,
                    "–", "–"});
    const size_t lateCallCycles = static_cast<size_t>(std::count_if(
        callPeriods.begin(), callPeriods.end(), [](double p) { return p > cycleMs + 1; }));
    rows.push_back({"Six calls: median period; cycles over 17 ms (" +
                        std::to_string(callPeriod.count) + " periods)",
                    fixed(callPeriod.p50, 3) + " ms; " +
                        share(lateCallCycles, callPeriods.size()),
                    options.busHz > 0 ? "six long packets take " +
                                            fixed(6 * 528 * 8 * 1000.0 / options.busHz, 2) +
                                            " ms of bus per cycle"
                                      : "replies at once (no bus time)",
                    "–", "–"});
    rows.push_back({"Six calls: p99 of the period without / with a capture client (stm-status "
                    "--capture, second half of the calls)",
                    fixed(withoutCapture.p99, 3) + " ms / " + fixed(withCapture.p99, 3) +
                        " ms: **ratio " + fixed(captureRatio, 2) + "**",
                    captureLine + "; CPU of the driver " + fixed(callCpu, 2) + " % / " +
                        fixed(captureCpu, 2) + " % of one core",
                    "ratio ≤ 1.2", captured ? verdict(captureRatio <= 1.2) : "–"});
    rows.push_back({"Supervisor tick: mean, from " + std::to_string(tick.pings) +
                        " first pings to a shield that never answers (1000 ticks apart)",
                    fixed(tick.meanTickMs, 4) + " ms",
                    "ping intervals " + fixed(tick.minIntervalMs, 1) + " to " +
                        fixed(tick.maxIntervalMs, 1) + " ms",
                    "2.0 ± 0.01 ms",
                    verdict(tick.pings >= 2 && std::fabs(tick.meanTickMs - tickMs) <= 0.01)});
    rows.push_back({"CPU of the driver: six shields online, idle",
                    fixed(idleCpu, 2) + " % of one core", "", "≤ 2 %", verdict(idleCpu <= 2.0)});
    rows.push_back({"CPU of the driver: six calls, audio both ways",
                    fixed(callCpu, 2) + " % of one core", "", "–", "–"});
    double idleSwitches = 0;
    size_t idleThreadCount = 0;
    for (const ThreadCost &c : idleCosts) {
        idleSwitches += c.switchesPerSecond;
        idleThreadCount += static_cast<size_t>(c.threads);
    }
    double supervisorWakeups = 0, otherWakeups = 0;
    for (const ThreadCost &c : idleCosts) {
        if (c.comm == "stm-supervisor")
            supervisorWakeups += c.wakeupsPerSecond;
        if (c.comm != "stm-transfer")
            otherWakeups += c.wakeupsPerSecond;
    }
    rows.push_back({"Wake-ups per second, six shields idle: supervisor; all threads but the "
                    "transfer thread",
                    fixed(supervisorWakeups, 1) + "; " + fixed(otherWakeups, 1),
                    "voluntary context switches; the status client's ten requests a second "
                    "included",
                    "≤ 10; ≤ 20", verdict(supervisorWakeups <= 10 && otherWakeups <= 20)});
    rows.push_back({"Wake-ups per second, six shields idle (context switches of the driver)",
                    fixed(idleSwitches, 0) + " per second",
                    "all " + std::to_string(idleThreadCount) +
                        " threads over the idle CPU interval; per thread in the table below",
                    "–", "–"});
    const std::string overrunFigure =
        overruns.lines == 0
            ? std::string("none")
            : std::to_string(overruns.lines) + " lines, " + std::to_string(overruns.cycles) +
                  " cycles, longest " + fixed(overruns.longestMs, 3) + " ms";
    rows.push_back({"Overrun reports of the driver (its standard error, whole run)", overrunFigure,
                    "", "–", "–"});
    rows.push_back(
        {"Console command → its first frame on the bus (" + std::to_string(commandLatency.count) +
             " of " + std::to_string(commands.size()) + ")",
         latencyFigure(commandLatency),
         std::to_string(commands.size() - freeSlotTimes.size()) +
             " waited for the shield's command slot (a second ping or a list word "
             "unanswered); the other " +
             std::to_string(freeSlotLatency.count) + ": " + latencyFigure(freeSlotLatency),
         "p99 < 17 ms", verdict(commandLatency.count > 0 && commandLatency.p99 < 17.0)});
    rows.push_back({"Event frame on the bus → its line on stdout (debug-number events, " +
                        std::to_string(eventLatency.count) + " of " +
                        std::to_string(events.size()) + ")",
                    latencyFigure(eventLatency), "", "p99 < 1 ms",
                    verdict(eventLatency.count > 0 && eventLatency.p99 < 1.0)});
    rows.push_back({"UDP datagram in → its block on the bus (" + std::to_string(audioIn.count) +
                        " blocks, host at 512 bytes per 16 ms)",
                    latencyFigure(audioIn), "3 cycles are 48 ms", "p99 < 48 ms",
                    verdict(audioIn.count > 0 && audioIn.p99 < 3 * cycleMs)});
    rows.push_back(
        {"Block on the bus → its UDP datagram out (" + std::to_string(audioOut.count) + " blocks)",
         latencyFigure(audioOut), "", "–", "–"});
    rows.push_back({"Audio blocks lost / duplicated, host → shield",
                    std::to_string(lossIn.lost) + " / " + std::to_string(lossIn.duplicated) +
                        " of " + std::to_string(lossIn.given),
                    "", "0 / 0",
                    verdict(lossIn.given > 0 && lossIn.lost == 0 && lossIn.duplicated == 0)});
    rows.push_back({"Audio blocks lost / duplicated, shield → host",
                    std::to_string(lossOut.lost) + " / " + std::to_string(lossOut.duplicated) +
                        " of " + std::to_string(lossOut.given),
                    "", "0 / 0",
                    verdict(lossOut.given > 0 && lossOut.lost == 0 && lossOut.duplicated == 0)});
    const double readyOver = (readyMs / minimum.readyMs - 1) * 100;
    const double pushedOver = (pushedMs / minimum.pushedMs - 1) * 100;
    rows.push_back({"Bring-up: start → last \"shield_ready\" of six",
                    fixed(readyMs / 1000, 3) + " s",
                    "protocol minimum " + fixed(minimum.readyMs / 1000, 3) + " s (+" +
                        fixed(readyOver, 1) + " %)",
                    "within 5 %", verdict(readyOver <= 5)});
    rows.push_back({"Bring-up: start → last end of list push of six",
                    fixed(pushedMs / 1000, 3) + " s",
                    "protocol minimum " + fixed(minimum.pushedMs / 1000, 3) + " s (+" +
                        fixed(pushedOver, 1) + " %)",
                    "within 5 %", verdict(pushedOver <= 5)});
    rows.push_back({"Peak resident memory (VmHWM)",
                    fixed(static_cast<double>(rssKb) / 1024.0, 1) + " MiB", "", "–", "–"});

    std::ostringstream table;
    table << "| Measure | Driver | Beside it | Target | Met |\n|---|---|---|---|---|\n";
    for (const Row &r : rows)
        table << "| " << r.what << " | " << r.figure << " | " << r.beside << " | " << r.target
              << " | " << r.met << " |\n";
    std::ofstream(outDir + "/table.md") << table.str();
    std::cout << table.str();

    writeHistogram(outDir + "/histogram.dat", periods, machinePeriods);

    // What each thread of the driver cost while six shields were idle.
    {
        std::ofstream idle(outDir + "/idle.md");
        idle << "| Thread (name) | Threads | CPU, % of one core | Wake-ups per second | Context "
                "switches per second |\n|---|---|---|---|---|\n";
        double cpu = 0, wakeups = 0;
        for (const ThreadCost &c : idleCosts) {
            idle << "| " << c.comm << " | " << c.threads << " | " << fixed(c.cpuPercent, 2) << " | "
                 << fixed(c.wakeupsPerSecond, 1) << " | " << fixed(c.switchesPerSecond, 1)
                 << " |\n";
            cpu += c.cpuPercent;
            wakeups += c.wakeupsPerSecond;
        }
        idle << "| all | " << idleThreadCount << " | " << fixed(cpu, 2) << " | "
             << fixed(wakeups, 1) << " | " << fixed(idleSwitches, 1) << " |\n";
    }

    // The headline figures, for the table that sets runs side by side.
    {
        std::ofstream summary(outDir + "/summary.tsv");
        const auto put = [&](const std::string &key, const std::string &value) {
            summary << key << '\t' << value << '\n';
        };
        const auto percent = [](size_t part, size_t whole) {
            return fixed(whole ? 100.0 * static_cast<double>(part) / static_cast<double>(whole) : 0,
                         3);
        };
        put("label", label);
        put("load", options.load ? "1" : "0");
        put("rtprio", std::to_string(options.rtprio));
        put("bus_hz", std::to_string(options.busHz));
        put("window_s", std::to_string(plan.window / 1000));
        put("periods", std::to_string(period.count));
        put("median_period_ms", fixed(period.p50, 4));
        put("p99_dev_ms", fixed(deviation.p99, 4));
        put("longest_period_ms", fixed(period.max, 4));
        put("cycles_over_17ms", std::to_string(lateCycles));
        put("cycles_over_17ms_pct", percent(lateCycles, periods.size()));
        put("call_median_period_ms", fixed(callPeriod.p50, 4));
        put("call_cycles_over_17ms", std::to_string(lateCallCycles));
        put("call_cycles_over_17ms_pct", percent(lateCallCycles, callPeriods.size()));
        if (captured) {
            put("call_p99_period_ms", fixed(withoutCapture.p99, 4));
            put("capture_call_p99_period_ms", fixed(withCapture.p99, 4));
            put("capture_ratio_p99", fixed(captureRatio, 4));
            put("capture_call_cpu_pct", fixed(captureCpu, 3));
        }
        if (haveCyclictest) {
            put("cyclictest_samples", std::to_string(machineLatency.size()));
            put("cyclictest_median_period_ms", fixed(machinePeriod.p50, 4));
            put("cyclictest_p99_dev_ms", fixed(machineDeviation.p99, 4));
            put("cyclictest_p99_latency_ms", fixed(latency.p99 / 1000.0, 4));
            put("cyclictest_longest_period_ms", fixed(machinePeriod.max, 4));
            if (machineDeviation.p99 > 0)
                put("ratio_p99_dev", fixed(deviation.p99 / machineDeviation.p99, 4));
            put("cyclictest_late_wakeups", std::to_string(lateWakeUps));
            put("cyclictest_late_pct", percent(lateWakeUps, machineLatency.size()));
        }
        put("supervisor_tick_ms", fixed(tick.meanTickMs, 5));
        put("supervisor_pings", std::to_string(tick.pings));
        put("idle_cpu_pct", fixed(idleCpu, 3));
        put("call_cpu_pct", fixed(callCpu, 3));
        put("idle_wakeups_per_s", fixed(idleSwitches, 1));
        put("idle_supervisor_wakeups_per_s", fixed(supervisorWakeups, 1));
        put("idle_other_wakeups_per_s", fixed(otherWakeups, 1));
        put("overrun_lines", std::to_string(overruns.lines));
        put("overrun_cycles", std::to_string(overruns.cycles));
        put("overrun_longest_ms", fixed(overruns.longestMs, 3));
    }

    std::ostringstream loadNote;
    if (options.load) {
        const double mbPerSecond =
            load.seconds() > 0 ? load.writtenMiB() * 1.048576 / load.seconds() : 0;
        loadNote << load.cpus() << " busy loops (one per core) and a writer that puts "
                 << (Load::chunkBytes >> 20)
                 << " MiB into a file in the run's folder, waits for fdatasync, pauses "
                 << Load::pauseMs << " ms and starts again, all at normal priority, from 2 s "
                 << "before the window to the end of the supervisor tick measurement; it wrote "
                 << fixed(load.writtenMiB(), 0) << " MiB in " << fixed(load.seconds(), 0) << " s ("
                 << fixed(mbPerSecond, 1) << " MB/s).\n";
    } else {
        loadNote << "none beyond the harness, shield-sim and cyclictest.\n";
    }
    std::ostringstream busNote;
    if (options.busHz > 0) {
        // An audio transfer is 528 bytes; in a call every shield has one in every cycle.
        const double audioMs = 528 * 8 * 1000.0 / static_cast<double>(options.busHz);
        busNote << "shield-sim held each reply for the time the transfer takes at "
                << fixed(static_cast<double>(options.busHz) / 1e6, 4)
                << " MHz: " << fixed(audioMs, 2) << " ms for a 528-byte audio transfer, "
                << fixed(AudioPeer::shields * audioMs, 1) << " ms for six of them.\n";
    } else {
        busNote << "shield-sim answered each transfer at once.\n";
    }
    std::ofstream notes(outDir + "/notes.md");
    notes << "- Window: " << plan.window / 1000
          << " s with six shields online: " << plan.idleEnd / 1000
          << " s idle (CPU measured over its last " << (plan.idleEnd - 2000) / 1000
          << " s), console commands and line events until " << plan.commandsEnd / 1000
          << " s, six calls with audio both ways until " << plan.dropAt / 1000
          << " s (CPU measured over " << (plan.sendEnd - plan.sendStart - 1000) / 2000
          << " s of audio; for as long again after it, a capture client, stm-status --capture "
             "into a file, took every exchange, and the period's p99 is compared between the "
             "two halves).\n"
          << "- Cycle periods: intervals between the simulator's time stamps of consecutive "
             "transfers to shield 0, the first in every cycle, outside the six calls (from their "
             "pickup to 0.5 s after their drop), whose six long packets need more bus time than "
             "a cycle has: their periods have a row of their own. "
          << (simulatorRealTime
                  ? "shield-sim's bus thread ran at real-time priority (SCHED_FIFO " +
                        std::to_string(simulatorPriority) +
                        ", above the driver's) so that its stamps follow the bus closely, its "
                        "other threads at SCHED_FIFO 1, as did the harness's threads that read the "
                        "driver's standard output and send and receive the UDP audio.\n"
                  : "shield-sim could not get real-time priority: its own wake-up delays are in "
                    "the driver's periods.\n")
          << "- Priorities: "
          << (options.rtprio > 0
                  ? "the driver was started with -rtprio " + std::to_string(options.rtprio) +
                        " and cyclictest with -p " + std::to_string(options.rtprio) +
                        " -m (SCHED_FIFO " + std::to_string(options.rtprio) + ", memory locked).\n"
                  : std::string("the driver and cyclictest ran at normal priority.\n"))
          << "- Load: " << loadNote.str() << "- Simulated bus: " << busNote.str()
          << "- Wake-ups: context switches (voluntary and involuntary, so wake-ups plus "
             "preemptions) of every thread of the driver over the idle CPU interval, from "
             "/proc/PID/task; per thread name in the idle table.\n"
          << "- Overrun reports: the driver's lines on its standard error that begin "
             "\"#WARNING: transfer cycle overran\", over the whole run (bring-up and the tick "
             "measurement included); cycles is the sum of the counts they give.\n"
          << "- Audio: " << audio.sent().size() << " datagrams sent, " << audio.received().size()
          << " received; blocks coming out that were never put in: " << lossIn.foreign
          << " (host → shield), " << lossOut.foreign
          << " (shield → host); datagrams to the host without a test block head: "
          << audio.foreignDatagrams()
          << " (the silence each shield plays back before the host's first block and after its "
             "last).\n"
          << "- The headline ratio divides the driver's p99 period deviation by cyclictest's p99 "
             "wake-up latency. A period holds two wake-ups (a late one after an early one), so "
             "cyclictest's own p99 period deviation, measured the same way as the driver's, is "
             "the like-for-like figure; both are given.\n"
          << "- Console commands are \"S dial N\" lines, one every 200 ms over the six shields; "
             "line events are debug-number events (0xE3) raised in shield-sim between them.\n"
          << "- Protocol minimum of the bring-up: 800 ms reboot, 2 cycles for the first ping and "
             "its answer, 750 ticks before identification, 13 cycles for its 7 commands; the push "
             "adds 2 cycles for each of 128 list words and each of the "
          << "2 second pings that fall into it (16 ms cycle, 2 ms tick).\n";
    return 0;
}

int microTable(const std::string &path)
{
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly))
        fail("cannot read " + path);
    const QJsonArray benchmarks = QJsonDocument::fromJson(file.readAll())
                                      .object()
                                      .value(QStringLiteral("benchmarks"))
                                      .toArray();
    std::cout << "| Benchmark | Wall time per iteration | CPU time per iteration | Share of the "
                 "16 ms cycle |\n|---|---|---|---|\n";
    for (const QJsonValue &v : benchmarks) {
        const QJsonObject b = v.toObject();
        if (b.value(QStringLiteral("run_type")).toString() == QLatin1String("aggregate") &&
            b.value(QStringLiteral("aggregate_name")).toString() != QLatin1String("median"))
            continue;
        const std::string unit = b.value(QStringLiteral("time_unit")).toString().toStdString();
        const double scale = unit == "ns" ? 1 : unit == "us" ? 1e3 : unit == "ms" ? 1e6 : 1e9;
        const double real = b.value(QStringLiteral("real_time")).toDouble() * scale;
        const double cpu = b.value(QStringLiteral("cpu_time")).toDouble() * scale;
        const std::string name = b.value(QStringLiteral("name")).toString().toStdString();
        const auto human = [](double ns) {
            return ns >= 1e6   ? fixed(ns / 1e6, 3) + " ms"
                   : ns >= 1e3 ? fixed(ns / 1e3, 2) + " µs"
                               : fixed(ns, 1) + " ns";
        };
        const bool cycle = name.find("Cycle") != std::string::npos;
        std::cout << "| " << name << " | " << human(real) << " | " << human(cpu) << " | "
                  << (cycle ? fixed(cpu / 16e6 * 100, 4) + " %" : std::string("–")) << " |\n";
    }
    return 0;
}

int combine(const std::vector<std::string> &dirs)
{
    std::vector<RunSummary> runs;
    for (const std::string &dir : dirs) {
        std::ifstream in(dir + "/summary.tsv");
        if (!in)
            fail("cannot read " + dir + "/summary.tsv");
        runs.push_back(readSummary(in));
    }
    std::cout << headlineTable(runs);
    return 0;
}

// The driver's threads, told apart by a function each runs; the main thread is callgrind's first.
std::string threadName(const Bench::CallgrindThread &t)
{
    static const std::vector<std::pair<std::string, std::string>> marks = {
        {"SPItransmitter::main_func(", "stm-transfer"},
        {"ShielHandler::main_func(", "stm-supervisor"},
        {"ConsoleScan::cycle_scan(", "stm-console"},
        {"BoardSimbus::watch(", "stm-buswatch"},
        {"Console::LineStream::run(", "stm-stdout or stm-stderr"},
    };
    if (t.thread == 1)
        return "stm-driver";
    for (const auto &mark : marks) {
        for (const std::string &function : t.functions) {
            if (function.compare(0, mark.first.size(), mark.first) == 0)
                return mark.second;
        }
    }
    return "thread " + std::to_string(t.thread);
}

int callgrindTable(const std::vector<std::string> &paths)
{
    std::vector<Bench::CallgrindThread> threads;
    uint64_t cycles = 0;
    for (const std::string &path : paths) {
        std::ifstream in(path);
        if (!in)
            fail("cannot read " + path);
        threads.push_back(
            Bench::readCallgrind(in, {"EmulatedBoard::", "ShieldModel::", "BootloaderModel::"}));
        cycles += Bench::callsOf(threads.back(), "SPItransmitter::main_func(");
    }
    if (cycles == 0)
        fail("no transfer cycle in the dumps");
    std::sort(threads.begin(), threads.end(),
              [](const auto &a, const auto &b) { return a.thread < b.thread; });
    const auto millions = [](uint64_t n) {
        return fixed(static_cast<double>(n) / 1e6, 2) + " M";
    };
    const auto perCycle = [cycles](uint64_t n) {
        return fixed(static_cast<double>(n) / static_cast<double>(cycles), 0);
    };
    std::cout << "| Thread | Runs in the window | Instructions | Per transfer cycle | Of which the "
                 "emulated shields | Per cycle without them |\n|---|---|---|---|---|---|\n";
    uint64_t all = 0, emulated = 0;
    for (const Bench::CallgrindThread &t : threads) {
        const std::string name = threadName(t);
        std::string runs = "–";
        if (name == "stm-transfer")
            runs = std::to_string(cycles) + " cycles";
        else if (name == "stm-supervisor")
            runs = std::to_string(Bench::callsOf(t, "ShielHandler::main_func(")) + " ticks";
        std::cout << "| " << name << " | " << runs << " | " << millions(t.instructions) << " | "
                  << perCycle(t.instructions) << " | " << perCycle(t.emulated) << " | "
                  << perCycle(t.instructions - t.emulated) << " |\n";
        all += t.instructions;
        emulated += t.emulated;
    }
    std::cout << "| all | | " << millions(all) << " | " << perCycle(all) << " | "
              << perCycle(emulated) << " | **" << perCycle(all - emulated) << "** |\n";
    return 0;
}

const char usage[] =
    "usage: stm-bench-harness run --driver PATH --sim PATH --out DIR [--quick] [--cyclictest "
    "PATH]\n"
    "                             [--no-realtime] [--load] [--rtprio N] [--bus-hz HZ] "
    "[--label TEXT]\n"
    "                             [--status-tool PATH]\n"
    "       stm-bench-harness combine DIR...\n"
    "       stm-bench-harness micro-table FILE.json\n"
    "       stm-bench-harness callgrind-table FILE...\n";

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
        else if (args[i] == "--rtprio")
            options.rtprio = static_cast<int>(positive());
        else if (args[i] == "--bus-hz")
            options.busHz = positive();
        else
            fail("unknown option " + args[i]);
    }
    if (args.empty() || args[0] != "run" || options.driver.empty() || options.sim.empty() ||
        options.outDir.empty()) {
        std::cerr << usage;
        return 2;
    }
    if (options.rtprio > 99)
        fail("--rtprio takes 1 to 99");
    return run(options);
}
