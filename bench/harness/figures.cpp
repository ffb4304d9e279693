#include "harness/figures.h"

#include <algorithm>
#include <cmath>
#include <fstream>

namespace Bench {

namespace {

size_t countOver(const std::vector<double> &values, double limit)
{
    return static_cast<size_t>(
        std::count_if(values.begin(), values.end(), [limit](double v) { return v > limit; }));
}

// The host's blocks of one stretch and the delay of each to its first appearance on the bus.
std::vector<Stamp> sentIn(const RunState &run, const AudioSpan &span)
{
    return stampsBetween(run.audio.sent(), span.from, span.to);
}

}  // namespace

CycleFigures measureCycles(const RunState &run, const std::vector<Transfer> &log)
{
    // The six calls need six long packets per cycle, 6 x 2.70 ms of bus at the driver's clock:
    // more than the 16 ms cycle. Their cycles show that budget (a row of their own); the timing
    // figures come from the rest of the window, where the bus has room.
    CycleFigures f;
    const int64_t callsFrom = run.w0 + run.plan.commandsEnd * ms;
    const int64_t callsTo = run.w0 + (run.plan.dropAt + 500) * ms;
    f.periods = cyclePeriods(log, 0, run.w0, callsFrom);
    for (double p : cyclePeriods(log, 0, callsTo, run.w1))
        f.periods.push_back(p);
    f.callPeriods = cyclePeriods(log, 0, callsFrom, callsTo);
    f.callPeriod = summarize(f.callPeriods);
    f.withoutCapture = summarize(cyclePeriods(log, 0, run.callFrom, run.captureFrom));
    f.withCapture = summarize(cyclePeriods(log, 0, run.captureFrom, run.captureTo));
    f.captureRatio = f.withoutCapture.p99 > 0 ? f.withCapture.p99 / f.withoutCapture.p99 : 0;
    f.period = summarize(f.periods);
    f.deviation = summarize(deviations(f.periods, cycleMs));
    f.lateCycles = countOver(f.periods, cycleMs + 1);
    f.lateCallCycles = countOver(f.callPeriods, cycleMs + 1);
    return f;
}

MachineFigures measureCyclictest(const RunState &run)
{
    MachineFigures f;
    if (run.haveCyclictest) {
        std::ifstream in(run.options.outDir + "/cyclictest.out");
        f.latencyUs = parseCyclictest(in);
        f.periods = periodsFromLatencies(f.latencyUs, 16000);
    }
    f.latency = summarize(f.latencyUs);
    f.period = summarize(f.periods);
    f.deviation = summarize(deviations(f.periods, cycleMs));
    f.lateWakeUps = countOver(f.latencyUs, 1000);
    return f;
}

CommandFigures measureCommandsAndEvents(RunState &run, const std::vector<Transfer> &log)
{
    // Console command to the bus: the first frame with the command's code and number; apart,
    // the commands that had to wait for the shield's one command slot (a second ping or another
    // command still unanswered).
    CommandFigures f;
    const std::vector<Stamp> dialsOnBus = commandsOnBus(log, 0x13);
    std::vector<double> all, freeSlot;
    for (const Stamp &c : run.commands) {
        const std::vector<double> one = matchLatencies({c}, dialsOnBus);
        if (one.empty())
            continue;
        all.push_back(one.front());
        if (!slotWasTaken(log, c, c.ns + static_cast<int64_t>(one.front() * ms), 0x13,
                          static_cast<int64_t>(2 * cycleMs * ms)))
            freeSlot.push_back(one.front());
    }
    f.command = summarize(all);
    f.freeSlot = summarize(freeSlot);
    f.waitedForSlot = run.commands.size() - freeSlot.size();
    // Event on the bus to its line: the first offer of each event frame to the first line.
    std::vector<Stamp> eventLines;
    for (const Line &line : run.stm.linesSoFar()) {
        int shield = -1;
        uint32_t number = 0;
        if (parseDebugNumberLine(line.text, &shield, &number))
            eventLines.push_back({line.ns, shield, number});
    }
    f.event = summarize(matchLatencies(firstOccurrences(eventsOnBus(log, 0xE3)), eventLines));
    return f;
}

SixCallFigures measureSixCalls(const RunState &run, const std::vector<Transfer> &log,
                               double callMedianPeriodMs)
{
    // Host datagram to the bus, and the shield's block (the host's block played back) from the
    // bus to the host datagram; the window's blocks only, the later phases have their own.
    SixCallFigures f;
    const std::vector<Stamp> sent = stampsBetween(run.audio.sent(), run.w0, run.w1);
    const std::vector<Stamp> received = stampsBetween(run.audio.received(), run.w0, run.w1);
    const std::vector<Stamp> toShield = stampsBetween(audioToShield(log), run.w0, run.w1);
    const std::vector<Stamp> fromShield = stampsBetween(audioFromShield(log), run.w0, run.w1);
    f.sent = sent.size();
    f.received = received.size();
    f.in = summarize(matchLatencies(sent, firstOccurrences(toShield)));
    f.out = summarize(matchLatencies(firstOccurrences(fromShield), received));
    const std::vector<Stamp> exchangeEnds =
        stampsBetween(audioFromShieldAtExchangeEnd(log, run.options.busHz), run.w0, run.w1);
    f.outFromExchangeEnd = summarize(matchLatencies(firstOccurrences(exchangeEnds), received));
    f.lossIn = countLoss(sent, toShield);
    f.lossOut = countLoss(fromShield, received);
    // Delivered: of the blocks sent until a second before the host stopped (their fate is
    // settled by then, the last ones' by the drop).
    const int64_t settled = run.w0 + (run.plan.sendEnd - 1000) * ms;
    f.deliveredPct = deliveredPercent(countLoss(stampsBetween(sent, run.w0, settled), toShield));
    f.allowedPct =
        callMedianPeriodMs > 0 ? std::min(100.0, 100.0 * cycleMs / callMedianPeriodMs) : 0;
    return f;
}

OneCallFigures measureOneCall(const RunState &run, const std::vector<Transfer> &log)
{
    OneCallFigures f;
    f.ran = run.options.audioInTime && run.paced.to > 0;
    if (!f.ran)
        return f;
    const std::vector<Stamp> onBus = firstOccurrences(audioToShield(log));
    f.paced = summarize(matchLatencies(sentIn(run, run.paced), onBus));
    f.burstRecoveryMs = recoveryMs(sentIn(run, run.burst), onBus, run.burst.burstNs, 3 * cycleMs);
    f.burstSpanMs = static_cast<double>(run.burst.to - run.burst.burstNs) / 1e6;
    f.fast = summarize(matchLatencies(sentIn(run, run.fast), onBus));
    f.fastDeliveredPct = deliveredPercent(countLoss(sentIn(run, run.fast), onBus));
    f.chunks = countLoss(sentIn(run, run.chunks), onBus);
    return f;
}

FasterBusFigures measureFasterBus(const RunState &run)
{
    FasterBusFigures f;
    f.ran = run.fasterBus.ran;
    if (!f.ran)
        return f;
    const std::vector<Stamp> sent = sentIn(run, run.fasterBus.span);
    const std::vector<Stamp> onBus = audioToShield(readTransferLog(run.fasterBus.timingLog));
    f.in = summarize(matchLatencies(sent, firstOccurrences(onBus)));
    f.loss = countLoss(sent, onBus);
    return f;
}

IdleFigures measureIdle(const RunState &run)
{
    IdleFigures f;
    for (const ThreadCost &c : run.idleCosts) {
        f.switchesPerSecond += c.switchesPerSecond;
        f.threads += static_cast<size_t>(c.threads);
        if (c.comm == "stm-supervisor")
            f.supervisorWakeups += c.wakeupsPerSecond;
        if (c.comm != "stm-transfer")
            f.otherWakeups += c.wakeupsPerSecond;
    }
    return f;
}

RunFigures measureRun(RunState &run)
{
    const std::vector<Transfer> log = readTransferLog(run.timingLog);
    if (log.empty())
        fail("no transfers in " + run.timingLog);
    RunFigures f;
    f.cycles = measureCycles(run, log);
    f.machine = measureCyclictest(run);
    f.commands = measureCommandsAndEvents(run, log);
    f.sixCalls = measureSixCalls(run, log, f.cycles.callPeriod.p50);
    f.oneCall = measureOneCall(run, log);
    f.fasterBus = measureFasterBus(run);
    f.idle = measureIdle(run);
    f.tick = tickFromPings(log, silentShield, run.lost, run.tickEnd, ticksPerFirstPing);
    std::ifstream driverErr(run.options.outDir + "/driver.err");
    f.overruns = readOverrunReports(driverErr);
    f.minimum = protocolMinimum(cycleMs, tickMs);
    // stm-status's last line: "stm-status: N records written, M lost".
    f.captureLine = "no capture client";
    if (run.captured) {
        std::ifstream err(run.options.outDir + "/capture.err");
        for (std::string line; std::getline(err, line);) {
            if (line.find(" records written") != std::string::npos)
                f.captureLine = line.substr(line.find(": ") + 2);
        }
    }
    return f;
}

}  // namespace Bench
