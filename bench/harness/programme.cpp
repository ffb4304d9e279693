// The programme every run plays on the driver with six shields: bring-up, the measuring window
// (idle, commands and events, six calls, a capture client for their second half) and the tick
// measurement, each a phase.

#include "harness/peers.h"
#include "harness/phases.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace Bench {

void startPeers(RunState &run)
{
    ::mkdir(run.options.outDir.c_str(), 0755);
    takeAudioPorts(run.audio);
    run.audio.startReceiving();
    std::cerr << "run \"" << run.label << "\" in " << run.options.outDir << std::endl;
    if (!startSimulator(run, run.simulator,
                        {run.socket, run.timingLog, run.options.busHz, "shield-sim"}))
        fail("shield-sim did not start or did not open its socket (see " + run.options.outDir +
             "/shield-sim.err)");
}

void bringUp(RunState &run)
{
    run.started = nowNs();
    if (!startDriver(run, run.stm, run.socket, {"-status", run.statusSocket},
                     run.options.outDir + "/driver.err"))
        fail("cannot start " + run.options.driver);
    std::cerr << "driver started (pid " << run.stm.pid() << "), waiting for six shields"
              << std::endl;
    int64_t lastReady = 0, lastPushed = 0;
    std::string missing;
    if (!waitForSixShields(run.stm, run.started, &lastReady, &lastPushed, &missing))
        fail("shield " + missing + " did not come into service (see " + run.options.outDir + ")");
    run.readyMs = static_cast<double>(lastReady - run.started) / 1e6;
    run.pushedMs = static_cast<double>(lastPushed - run.started) / 1e6;
}

void openWindow(RunState &run)
{
    // The load, when asked for, settles for a moment before the window.
    const int cpus = static_cast<int>(::sysconf(_SC_NPROCESSORS_ONLN));
    if (run.options.load) {
        if (!run.load.start(cpus, run.options.outDir + "/load-io.bin"))
            fail(std::string("cannot start the load (") + std::strerror(errno) + ")");
        std::cerr << "load: " << cpus << " busy loops and a disk writer" << std::endl;
    }
    // The measuring window, with cyclictest beside the driver.
    sleepUntil(nowNs() + (run.options.load ? 2000 : 500) * ms);
    run.w0 = nowNs();
    std::vector<std::string> cyclictestArgs{run.options.cyclictestPath,
                                            "-i",
                                            "16000",
                                            "-D",
                                            std::to_string(run.plan.window / 1000),
                                            "-q",
                                            "-v"};
    if (run.options.rtprio > 0)
        cyclictestArgs.insert(cyclictestArgs.end(),
                              {"-p", std::to_string(run.options.rtprio), "-m"});
    run.haveCyclictest =
        !run.options.cyclictestPath.empty() &&
        run.cyclictest.start(cyclictestArgs, run.options.outDir + "/cyclictest.out",
                             run.options.outDir + "/cyclictest.err");
    // A technician's stm-status beside it, ten requests a second.
    run.statusPoller.start(100);
    std::cerr << "measuring window of " << run.plan.window / 1000
              << " s: idle, commands and events, six calls, status requests" << std::endl;
}

void idleWindow(RunState &run)
{
    const pid_t pid = run.stm.pid();
    sleepUntil(run.w0 + 2000 * ms);
    const int64_t idleFrom = nowNs();
    const double cpu0 = processCpuSeconds(pid);
    const std::vector<ThreadSample> threads0 = sampleThreads(pid);
    sleepUntil(run.w0 + run.plan.idleEnd * ms);
    const std::vector<ThreadSample> threads1 = sampleThreads(pid);
    const double seconds = static_cast<double>(nowNs() - idleFrom) / 1e9;
    run.idleCpu = (processCpuSeconds(pid) - cpu0) / seconds * 100.0;
    run.idleCosts = threadCosts(threads0, threads1, seconds, ::sysconf(_SC_CLK_TCK));
}

void commandsAndEvents(RunState &run)
{
    // Alternately, 100 ms apart at a random phase of the cycle.
    std::mt19937 random(1);
    std::uniform_int_distribution<int> phase(0, 15);
    for (int k = 0;; ++k) {
        const int64_t at = run.w0 + (run.plan.idleEnd + 100 * k + phase(random)) * ms;
        if (at >= run.w0 + (run.plan.commandsEnd - 100) * ms)
            break;
        sleepUntil(at);
        const int shield = (k / 2) % AudioPeer::shields;
        const std::string s = std::to_string(shield);
        if (k % 2 == 0) {
            const uint32_t number = 1000 + static_cast<uint32_t>(k);
            run.commands.push_back(
                {run.stm.writeLine(s + " dial " + std::to_string(number)), shield, number});
        } else {
            // Debug-number events take the same road as dials (parser, line), but the driver's
            // dial-flood guard would stop reporting dials that come this close together.
            const uint32_t number = 3000 + static_cast<uint32_t>(k);
            run.events.push_back(
                {run.simulator.writeLine("debugnum " + s + " " + std::to_string(number)), shield,
                 number});
        }
    }
}

void calls(RunState &run)
{
    sleepUntil(run.w0 + run.plan.commandsEnd * ms);
    for (int s = 0; s < AudioPeer::shields; ++s)
        run.stm.writeLine(std::to_string(s) + " pickup");
    sleepUntil(run.w0 + run.plan.sendStart * ms);
    run.audio.startSending(Pace{});
    sleepUntil(run.w0 + (run.plan.sendStart + 1000) * ms);
    run.callFrom = nowNs();
    const double cpu0 = processCpuSeconds(run.stm.pid());
    sleepUntil(run.w0 + (run.plan.sendStart + 1000 + run.plan.sendEnd) / 2 * ms);
    run.captureFrom = nowNs();
    run.callCpu = (processCpuSeconds(run.stm.pid()) - cpu0) /
                  (static_cast<double>(run.captureFrom - run.callFrom) / 1e9) * 100.0;
}

void captureHalf(RunState &run)
{
    const std::string &dir = run.options.outDir;
    Child captureClient;
    run.captured = !run.options.statusTool.empty() &&
                   captureClient.start({run.options.statusTool, "-s", run.statusSocket, "--capture",
                                        dir + "/capture.pcap"},
                                       dir + "/capture.out", dir + "/capture.err");
    const double cpu0 = processCpuSeconds(run.stm.pid());
    sleepUntil(run.w0 + run.plan.sendEnd * ms);
    run.captureTo = nowNs();
    run.captureCpu = (processCpuSeconds(run.stm.pid()) - cpu0) /
                     (static_cast<double>(run.captureTo - run.captureFrom) / 1e9) * 100.0;
    captureClient.stop();  // SIGTERM: it closes the file
    run.audio.stopSending();
    sleepUntil(run.w0 + run.plan.dropAt * ms);
    for (int s = 0; s < AudioPeer::shields; ++s)
        run.stm.writeLine(std::to_string(s) + " drop");
    sleepUntil(run.w0 + run.plan.window * ms);
    run.w1 = nowNs();
    run.statusPoller.stop();
    std::cerr << "status socket: " << run.statusPoller.answers() << " answers, "
              << run.statusPoller.failures() << " requests without one" << std::endl;
    if (run.haveCyclictest) {
        for (int i = 0; i < 200 && run.cyclictest.running(); ++i)
            ::usleep(50000);
        run.haveCyclictest = !run.cyclictest.running();
    }
    if (!run.stm.running())
        fail("the driver ended during the window (" + run.stm.howItEnded() + "; see " + dir +
             "/driver.err)");
}

void tickMeasurement(RunState &run)
{
    // A shield that stops answering is lost, then pinged every 1000 ticks.
    std::cerr << "shield " << silentShield << " stops answering; timing its first pings"
              << std::endl;
    run.simulator.writeLine("mute " + std::to_string(silentShield));
    run.lost = run.stm.waitForLine(std::to_string(silentShield) + " shield_disconect",
                                   nowNs() + 40000 * ms);
    if (run.lost < 0)
        fail(run.stm.running()
                 ? std::string("the silent shield was not reported lost")
                 : "the driver ended while its shield was lost (" + run.stm.howItEnded() +
                       "; see " + run.options.outDir + "/driver.err)");
    sleepUntil(run.lost + run.plan.tick * ms);
    run.tickEnd = nowNs();
    run.rssKb = peakRssKb(run.stm.pid());
}

void stopPeers(RunState &run)
{
    const bool driverAlive = run.stm.running();
    run.stm.stop();
    sleepUntil(nowNs() + 400 * ms);  // shield-sim writes the rest of its log when the driver goes
    run.simulator.stop();
    if (!driverAlive)
        fail("the driver ended during the run (" + run.stm.howItEnded() + "; see " +
             run.options.outDir + "/driver.err)");
    std::ofstream out(run.options.outDir + "/driver.out");
    for (const Line &line : run.stm.linesSoFar())
        out << line.ns << ' ' << line.text << '\n';
    std::ofstream stimuli(run.options.outDir + "/stimuli.log");
    for (const Stamp &c : run.commands)
        stimuli << c.ns << " command " << c.shield << " dial " << c.key << '\n';
    for (const Stamp &e : run.events)
        stimuli << e.ns << " event " << e.shield << " debugnum " << e.key << '\n';
    stimuli << run.w0 << " window-start\n"
            << run.w1 << " window-end\n"
            << run.lost << " shield-lost\n"
            << run.tickEnd << " tick-end\n";
}

}  // namespace Bench
