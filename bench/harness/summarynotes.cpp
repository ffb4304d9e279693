// The run's headline figures for the table that sets runs side by side, and the notes that say
// how each figure of its table was taken.

#include "harness/report.h"

#include <fstream>
#include <sstream>

namespace Bench {

namespace {

std::string percent(size_t part, size_t whole)
{
    return fixed(whole ? 100.0 * static_cast<double>(part) / static_cast<double>(whole) : 0, 3);
}

void putCycleFigures(std::ostream &summary, const RunState &run, const RunFigures &f)
{
    const auto put = [&](const std::string &key, const std::string &value) {
        summary << key << '\t' << value << '\n';
    };
    const CycleFigures &c = f.cycles;
    put("label", run.label);
    put("load", run.options.load ? "1" : "0");
    put("rtprio", std::to_string(run.options.rtprio));
    put("bus_hz", std::to_string(run.options.busHz));
    put("window_s", std::to_string(run.plan.window / 1000));
    put("periods", std::to_string(c.period.count));
    put("median_period_ms", fixed(c.period.p50, 4));
    put("p99_dev_ms", fixed(c.deviation.p99, 4));
    put("longest_period_ms", fixed(c.period.max, 4));
    put("cycles_over_17ms", std::to_string(c.lateCycles));
    put("cycles_over_17ms_pct", percent(c.lateCycles, c.periods.size()));
    put("call_median_period_ms", fixed(c.callPeriod.p50, 4));
    put("call_cycles_over_17ms", std::to_string(c.lateCallCycles));
    put("call_cycles_over_17ms_pct", percent(c.lateCallCycles, c.callPeriods.size()));
    if (run.captured) {
        put("call_p99_period_ms", fixed(c.withoutCapture.p99, 4));
        put("capture_call_p99_period_ms", fixed(c.withCapture.p99, 4));
        put("capture_ratio_p99", fixed(c.captureRatio, 4));
        put("capture_call_cpu_pct", fixed(run.captureCpu, 3));
    }
    if (run.haveCyclictest) {
        const MachineFigures &m = f.machine;
        put("cyclictest_samples", std::to_string(m.latencyUs.size()));
        put("cyclictest_median_period_ms", fixed(m.period.p50, 4));
        put("cyclictest_p99_dev_ms", fixed(m.deviation.p99, 4));
        put("cyclictest_p99_latency_ms", fixed(m.latency.p99 / 1000.0, 4));
        put("cyclictest_longest_period_ms", fixed(m.period.max, 4));
        if (m.deviation.p99 > 0)
            put("ratio_p99_dev", fixed(c.deviation.p99 / m.deviation.p99, 4));
        put("cyclictest_late_wakeups", std::to_string(m.lateWakeUps));
        put("cyclictest_late_pct", percent(m.lateWakeUps, m.latencyUs.size()));
    }
}

void putCostAndAudioFigures(std::ostream &summary, const RunState &run, const RunFigures &f)
{
    const auto put = [&](const std::string &key, const std::string &value) {
        summary << key << '\t' << value << '\n';
    };
    put("supervisor_tick_ms", fixed(f.tick.meanTickMs, 5));
    put("supervisor_pings", std::to_string(f.tick.pings));
    put("idle_cpu_pct", fixed(run.idleCpu, 3));
    put("call_cpu_pct", fixed(run.callCpu, 3));
    put("idle_wakeups_per_s", fixed(f.idle.switchesPerSecond, 1));
    put("idle_supervisor_wakeups_per_s", fixed(f.idle.supervisorWakeups, 1));
    put("idle_other_wakeups_per_s", fixed(f.idle.otherWakeups, 1));
    put("overrun_lines", std::to_string(f.overruns.lines));
    put("overrun_cycles", std::to_string(f.overruns.cycles));
    put("overrun_longest_ms", fixed(f.overruns.longestMs, 3));
    put("six_calls_in_p99_ms", fixed(f.sixCalls.in.p99, 3));
    put("six_calls_delivered_pct", fixed(f.sixCalls.deliveredPct, 2));
    put("six_calls_allowed_pct", fixed(f.sixCalls.allowedPct, 2));
    put("six_calls_out_from_exchange_end_p99_ms", fixed(f.sixCalls.outFromExchangeEnd.p99, 3));
    if (f.oneCall.ran) {
        put("one_call_paced_p99_ms", fixed(f.oneCall.paced.p99, 3));
        put("one_call_burst_recovery_ms", fixed(f.oneCall.burstRecoveryMs, 0));
        put("one_call_fast_p99_ms", fixed(f.oneCall.fast.p99, 3));
        put("one_call_fast_delivered_pct", fixed(f.oneCall.fastDeliveredPct, 2));
        put("one_call_chunks_lost", std::to_string(f.oneCall.chunks.lost));
    }
    if (f.fasterBus.ran) {
        put("faster_bus_in_p99_ms", fixed(f.fasterBus.in.p99, 3));
        put("faster_bus_lost", std::to_string(f.fasterBus.loss.lost));
    }
}

std::string loadNote(const RunState &run)
{
    std::ostringstream note;
    const Load &load = run.load;
    if (!run.options.load)
        return "none beyond the harness, shield-sim and cyclictest.\n";
    const double mbPerSecond =
        load.seconds() > 0 ? load.writtenMiB() * 1.048576 / load.seconds() : 0;
    note << load.cpus() << " busy loops (one per core) and a writer that puts "
         << (Load::chunkBytes >> 20)
         << " MiB into a file in the run's folder, waits for fdatasync, pauses " << Load::pauseMs
         << " ms and starts again, all at normal priority, from 2 s before the window to the end "
            "of the run's last phase; it wrote "
         << fixed(load.writtenMiB(), 0) << " MiB in " << fixed(load.seconds(), 0) << " s ("
         << fixed(mbPerSecond, 1) << " MB/s).\n";
    return note.str();
}

std::string busNote(const RunState &run)
{
    if (run.options.busHz <= 0)
        return "shield-sim answered each transfer at once.\n";
    const double audioMs = 528 * 8 * 1000.0 / static_cast<double>(run.options.busHz);
    return "shield-sim held each reply for the time the transfer takes at " +
           fixed(static_cast<double>(run.options.busHz) / 1e6, 4) + " MHz: " + fixed(audioMs, 2) +
           " ms for a 528-byte audio transfer, " + fixed(AudioPeer::shields * audioMs, 1) +
           " ms for six of them.\n";
}

std::string programmeNote(const RunState &run)
{
    const Plan &plan = run.plan;
    std::ostringstream note;
    note << "- Window: " << plan.window / 1000
         << " s with six shields online: " << plan.idleEnd / 1000
         << " s idle (CPU measured over its last " << (plan.idleEnd - 2000) / 1000
         << " s), console commands and line events until " << plan.commandsEnd / 1000
         << " s, six calls with audio both ways until " << plan.dropAt / 1000
         << " s (CPU measured over " << (plan.sendEnd - plan.sendStart - 1000) / 2000
         << " s of audio; for as long again after it, a capture client, stm-status --capture "
            "into a file, took every exchange, and the period's p99 is compared between the "
            "two halves).\n";
    if (run.options.audioInTime)
        note << "- Audio in time: after the tick measurement, one call (shield 0) with the host "
                "paced for "
             << plan.paced / 1000 << " s, paced with a burst of 20 blocks after 1 s for "
             << plan.burst / 1000 << " s, 2 % fast (a block every 15.69 ms) for "
             << plan.fast / 1000 << " s and in datagrams of four blocks every 64 ms for "
             << plan.chunks / 1000 << " s, a second between them; then six calls for "
             << plan.fasterBus / 1000 << " s with a driver of their own started with -spi-hz "
             << run.options.fastBusHz << " on a shield-sim with --bus-hz " << run.options.fastBusHz
             << ". Delivered: the share of the blocks sent that reached the bus (for the six "
                "calls of the window, those sent until a second before the host stopped). The "
                "shield's exchange ends when the bus has clocked its 528 bytes after the "
                "simulator's stamp of its start.\n";
    return note.str();
}

}  // namespace

void writeSummary(const RunState &run, const RunFigures &f)
{
    std::ofstream summary(run.options.outDir + "/summary.tsv");
    putCycleFigures(summary, run, f);
    putCostAndAudioFigures(summary, run, f);
}

void writeNotes(const RunState &run, const RunFigures &f)
{
    const LossCount &lossIn = f.sixCalls.lossIn, &lossOut = f.sixCalls.lossOut;
    std::ofstream notes(run.options.outDir + "/notes.md");
    notes << programmeNote(run)
          << "- Cycle periods: intervals between the simulator's time stamps of consecutive "
             "transfers to shield 0, the first in every cycle, outside the six calls (from their "
             "pickup to 0.5 s after their drop), whose six long packets need more bus time than "
             "a cycle has: their periods have a row of their own. "
          << (run.simulatorRealTime
                  ? "shield-sim's bus thread ran at real-time priority (SCHED_FIFO " +
                        std::to_string(run.simulatorPriority) +
                        ", above the driver's) so that its stamps follow the bus closely, its "
                        "other threads at SCHED_FIFO 1, as did the harness's threads that read the "
                        "driver's standard output and send and receive the UDP audio.\n"
                  : "shield-sim could not get real-time priority: its own wake-up delays are in "
                    "the driver's periods.\n")
          << "- Priorities: "
          << (run.options.rtprio > 0
                  ? "the driver was started with -rtprio " + std::to_string(run.options.rtprio) +
                        " and cyclictest with -p " + std::to_string(run.options.rtprio) +
                        " -m (SCHED_FIFO " + std::to_string(run.options.rtprio) +
                        ", memory locked).\n"
                  : std::string("the driver and cyclictest ran at normal priority.\n"))
          << "- Load: " << loadNote(run) << "- Simulated bus: " << busNote(run)
          << "- Wake-ups: context switches (voluntary and involuntary, so wake-ups plus "
             "preemptions) of every thread of the driver over the idle CPU interval, from "
             "/proc/PID/task; per thread name in the idle table.\n"
          << "- Overrun reports: the driver's lines on its standard error that begin "
             "\"#WARNING: transfer cycle overran\", over the whole run (bring-up and the tick "
             "measurement included); cycles is the sum of the counts they give.\n"
          << "- Audio: " << f.sixCalls.sent << " datagrams sent, " << f.sixCalls.received
          << " received in the window; blocks coming out that were never put in: " << lossIn.foreign
          << " (host → shield), " << lossOut.foreign
          << " (shield → host); datagrams to the host without a test block head: "
          << run.audio.foreignDatagrams()
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
}

}  // namespace Bench
