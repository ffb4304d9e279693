// The audio-in-time phases: how long the host's audio waits in the driver and how much of it
// reaches the bus, with one call under the host patterns a real host shows, and with six calls on
// a bus fast enough to carry them.

#include "harness/peers.h"
#include "harness/phases.h"

#include <fstream>
#include <iostream>

namespace Bench {

namespace {

constexpr int burstBlocks = 20;
constexpr int64_t drainMs = 1000;  // after a stretch: what waits in the driver reaches the bus

// Sends at `pace` for `lengthMs`, then lets the driver's queue drain.
AudioSpan sendStretch(RunState &run, const Pace &pace, int64_t lengthMs)
{
    AudioSpan span;
    span.from = nowNs();
    run.audio.startSending(pace);
    sleepUntil(span.from + lengthMs * ms);
    run.audio.stopSending();
    span.to = nowNs();
    span.burstNs = run.audio.burstSentNs();
    sleepUntil(span.to + drainMs * ms);
    return span;
}

// The first line of a program's standard error, for a note on why it did not run.
std::string firstLine(const std::string &path)
{
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// Six calls with the host paced, on the faster bus's own driver.
void sixCalls(RunState &run, Child &driver)
{
    FasterBus &bus = run.fasterBus;
    for (int s = 0; s < AudioPeer::shields; ++s)
        driver.writeLine(std::to_string(s) + " pickup");
    sleepUntil(nowNs() + 500 * ms);
    bus.span = sendStretch(run, Pace{}, run.plan.fasterBus);
    for (int s = 0; s < AudioPeer::shields; ++s)
        driver.writeLine(std::to_string(s) + " drop");
    bus.ran = driver.running();
    if (!bus.ran)
        bus.why = "the driver ended during the calls (" + driver.howItEnded() + ")";
}

}  // namespace

void oneCall(RunState &run)
{
    if (!run.options.audioInTime)
        return;
    std::cerr << "one call: the host paced, with a burst, 2 % fast, in chunks of four" << std::endl;
    run.stm.writeLine("0 pickup");
    sleepUntil(nowNs() + 500 * ms);
    Pace one;
    one.shields = 1;
    run.paced = sendStretch(run, one, run.plan.paced);
    Pace burst = one;
    burst.burstBlocks = burstBlocks;
    burst.burstAfterNs = 1000 * ms;
    run.burst = sendStretch(run, burst, run.plan.burst);
    Pace fast = one;
    fast.periodNs = static_cast<int64_t>(cycleMs * ms / 1.02);
    run.fast = sendStretch(run, fast, run.plan.fast);
    Pace chunks = one;
    chunks.periodNs = static_cast<int64_t>(4 * cycleMs) * ms;
    chunks.blocksPerSend = 4;
    run.chunks = sendStretch(run, chunks, run.plan.chunks);
    run.stm.writeLine("0 drop");
    if (!run.stm.running())
        fail("the driver ended during the one call (" + run.stm.howItEnded() + "; see " +
             run.options.outDir + "/driver.err)");
}

void fasterBus(RunState &run)
{
    FasterBus &bus = run.fasterBus;
    if (!run.options.audioInTime) {
        bus.why = "not run";
        return;
    }
    const std::string &dir = run.options.outDir;
    const std::string hz = std::to_string(run.options.fastBusHz);
    std::cerr << "six calls on a " << hz << " Hz bus (-spi-hz " << hz << ")" << std::endl;
    const std::string socket = dir + "/bus-fast.sock";
    bus.timingLog = dir + "/transfers-fast.log";
    Child simulator, driver;
    if (!startSimulator(run, simulator,
                        {socket, bus.timingLog, run.options.fastBusHz, "shield-sim-fast"})) {
        bus.why = "shield-sim --bus-hz " + hz + " did not start";
        return;
    }
    const int64_t started = nowNs();
    const std::string errFile = dir + "/driver-fast.err";
    if (!startDriver(run, driver, socket, {"-spi-hz", hz}, errFile)) {
        bus.why = "the driver did not start";
    } else {
        sleepUntil(started + 1000 * ms);
        int64_t ready = 0, pushed = 0;
        std::string missing;
        if (!driver.running())
            bus.why = "the driver with -spi-hz " + hz + " ended (" + driver.howItEnded() +
                      "): " + firstLine(errFile);
        else if (!waitForSixShields(driver, started, &ready, &pushed, &missing))
            bus.why = "shield " + missing + " did not come into service";
        else
            sixCalls(run, driver);
    }
    driver.stop();
    sleepUntil(nowNs() + 400 * ms);  // shield-sim writes the rest of its log when the driver goes
    simulator.stop();
}

}  // namespace Bench
