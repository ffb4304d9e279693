// The harness's arithmetic: what it reads from the simulator and cyclictest, and how it turns
// time stamps into periods, latencies and lost blocks. A slip here would print wrong figures
// without any visible failure, so the cases pin each rule down.

#include "harness/analysis.h"
#include "harness/driverlogs.h"
#include "harness/headline.h"
#include "harness/procfiles.h"
#include "harness/transferlog.h"

#include "link/crc16.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <unistd.h>

using namespace Bench;

namespace {

// A frame with its CRC, as it stands on the bus.
std::array<uint8_t, 8> frame(uint8_t start, uint8_t code, uint8_t b4, uint8_t b5)
{
    std::array<uint8_t, 8> f{start, code, 0, 0, b4, b5, 0, 0};
    const quint16 crc = CRC16::calc(f.data(), 6);
    f[6] = static_cast<uint8_t>(crc >> 8);
    f[7] = static_cast<uint8_t>(crc);
    return f;
}

Transfer sentTo(int64_t ms, int shield, const std::array<uint8_t, 8> &sent)
{
    Transfer t;
    t.ns = ms * 1000000;
    t.shield = shield;
    t.length = 8;
    t.sent = sent;
    return t;
}

}  // namespace

TEST(TransferLog, LinesOfTheSimulatorAreReadAndMalformedOnesRefused)
{
    Transfer t;
    ASSERT_TRUE(parseTransfer("T 123456789 3 8 0a6000000000b980 8a6000000000799f", &t));
    EXPECT_EQ(t.ns, 123456789);
    EXPECT_EQ(t.shield, 3);
    EXPECT_EQ(t.length, 8);
    EXPECT_EQ(t.sent[1], 0x60);
    EXPECT_EQ(t.received[0], 0x8A);
    EXPECT_EQ(t.received[7], 0x9F);
    EXPECT_FALSE(t.hasAudio);

    ASSERT_TRUE(parseTransfer(
        "T 5 -1 528 0000000000000000 0000000000000000 a75e02fd01000000 FF7FFF7FFF7FFF7F", &t));
    EXPECT_EQ(t.shield, -1);
    EXPECT_TRUE(t.hasAudio);
    EXPECT_EQ(t.sentAudio[2], 2);
    EXPECT_EQ(t.receivedAudio[1], 0x7F);

    const char *const bad[] = {
        "",
        "X 1 0 8 0a6000000000b980 8a6000000000799f",                        // not a transfer line
        "T 1 0 8 0a6000000000b98 8a6000000000799f",                         // 15 hex digits
        "T 1 0 8 0a6000000000b98g 8a6000000000799f",                        // not hex
        "T one 0 8 0a6000000000b980 8a6000000000799f",                      // no time
        "T 1 0 528 0000000000000000 0000000000000000 a75e02fd01000000 zz",  // bad audio head
    };
    for (const char *line : bad)
        EXPECT_FALSE(parseTransfer(line, &t)) << line;
}

TEST(Statistics, PercentilesByNearestRank)
{
    std::vector<double> hundred;
    for (int i = 100; i >= 1; --i)
        hundred.push_back(i);
    const Summary s = summarize(hundred);
    EXPECT_EQ(s.count, 100u);
    EXPECT_DOUBLE_EQ(s.min, 1);
    EXPECT_DOUBLE_EQ(s.p50, 50);
    EXPECT_DOUBLE_EQ(s.p99, 99);
    EXPECT_DOUBLE_EQ(s.max, 100);
    EXPECT_DOUBLE_EQ(s.mean, 50.5);

    EXPECT_DOUBLE_EQ(percentile({7}, 99), 7);
    EXPECT_DOUBLE_EQ(percentile({1, 2, 3}, 99), 3);  // never below the top of a small sample
    EXPECT_DOUBLE_EQ(percentile({}, 50), 0);
    EXPECT_EQ(summarize({}).count, 0u);
}

TEST(Periods, OnlyTheGivenShieldInsideTheWindow)
{
    const auto ping = frame(0x0A, 0x60, 0, 0);
    const std::vector<Transfer> log = {
        sentTo(0, 0, ping),  sentTo(1, 1, ping),  sentTo(16, 0, ping), sentTo(17, 1, ping),
        sentTo(33, 0, ping), sentTo(34, 1, ping), sentTo(48, 0, ping), sentTo(64, 0, ping),
    };
    const std::vector<double> periods = cyclePeriods(log, 0, 16 * 1000000, 64 * 1000000);
    ASSERT_EQ(periods.size(), 2u);  // 16 -> 33 -> 48; 0 and 64 lie outside
    EXPECT_DOUBLE_EQ(periods[0], 17);
    EXPECT_DOUBLE_EQ(periods[1], 15);
    const std::vector<double> d = deviations(periods, 16);
    EXPECT_DOUBLE_EQ(d[0], 1);
    EXPECT_DOUBLE_EQ(d[1], 1);
}

TEST(SupervisorTick, MeanTickFromFirstPingsOfOneShield)
{
    const auto ping = frame(0x0A, 0x60, 0, 0);
    auto damaged = ping;
    damaged[7] ^= 1;
    std::vector<Transfer> log;
    for (int k = 0; k < 5; ++k) {
        log.push_back(sentTo(1000 + 2002 * k, 5, ping));
        log.push_back(sentTo(1001 + 2002 * k, 4, ping));                      // another shield
        log.push_back(sentTo(1002 + 2002 * k, 5, frame(0x8A, 0x61, 0, 0)));   // not a first ping
        log.push_back(sentTo(1003 + 2002 * k, 5, damaged));                   // no valid frame
        log.push_back(sentTo(1004 + 2002 * k, 5, std::array<uint8_t, 8>{}));  // idle
    }
    const TickEstimate e = tickFromPings(log, 5, 0, 100000 * 1000000LL, 1000);
    EXPECT_EQ(e.pings, 5);
    EXPECT_NEAR(e.meanTickMs, 2.002, 1e-9);
    EXPECT_NEAR(e.minIntervalMs, 2002, 1e-9);
    EXPECT_NEAR(e.maxIntervalMs, 2002, 1e-9);

    EXPECT_EQ(tickFromPings(log, 5, 0, 2000 * 1000000LL, 1000).meanTickMs, 0);  // one ping only
}

TEST(Cyclictest, SampleLinesOfThreadZeroOnly)
{
    std::istringstream out(
        "Max CPUs = 2\n"
        "# /dev/cpu_dma_latency set to 0us\n"
        "Thread 0 Interval: 16500\n"
        "       0:       0:      63\n"
        "       1:       0:     999\n"
        "       0:       1:      80\n"
        "       0:       2:    1200\n"
        "T: 0 ( 9688) P: 0 I:16000 C:    125 Min:     62 Act:   79 Avg: 1255 Max:    6187\n");
    const std::vector<double> latencies = parseCyclictest(out);
    ASSERT_EQ(latencies, (std::vector<double>{63, 80, 1200}));
    const std::vector<double> periods = periodsFromLatencies(latencies, 16000);
    ASSERT_EQ(periods.size(), 2u);
    EXPECT_DOUBLE_EQ(periods[0], 16.017);
    EXPECT_DOUBLE_EQ(periods[1], 17.12);
}

TEST(Matching, EachCauseToTheFirstEffectOfItsShieldAndKeyAtOrAfterIt)
{
    const std::vector<Stamp> causes = {
        {10000000, 0, 7},  // effect 3 ms later
        {20000000, 1, 7},  // same key, other shield: its own effect
        {30000000, 0, 8},  // effect only before it: unmatched
        {40000000, 2, 9},  // no effect at all
    };
    const std::vector<Stamp> effects = {
        {25000000, 0, 8},
        {14000000, 0, 7},
        {13000000, 0, 7},
        {21000000, 1, 7},
    };
    size_t unmatched = 0;
    const std::vector<double> latencies = matchLatencies(causes, effects, &unmatched);
    EXPECT_EQ(latencies, (std::vector<double>{3, 1}));
    EXPECT_EQ(unmatched, 2u);

    const std::vector<Stamp> first = firstOccurrences(effects);
    ASSERT_EQ(first.size(), 3u);
    EXPECT_EQ(first[0].ns, 13000000);
    EXPECT_EQ(first[1].ns, 21000000);
    EXPECT_EQ(first[2].ns, 25000000);
}

TEST(Matching, LostDuplicatedAndForeignBlocks)
{
    const std::vector<Stamp> given = {{1, 0, 1}, {2, 0, 2}, {3, 0, 3}, {4, 1, 1}, {5, 0, 1}};
    const std::vector<Stamp> came = {{6, 0, 1}, {7, 0, 3}, {8, 0, 3}, {9, 0, 3}, {10, 2, 1}};
    const LossCount c = countLoss(given, came);
    EXPECT_EQ(c.given, 4u);       // (0,1) given twice counts once
    EXPECT_EQ(c.lost, 2u);        // (0,2) and (1,1)
    EXPECT_EQ(c.duplicated, 2u);  // (0,3) came three times
    EXPECT_EQ(c.foreign, 1u);     // (2,1)
    const LossCount clean = countLoss(given, given);
    EXPECT_EQ(clean.lost + clean.duplicated + clean.foreign, 1u);  // the one given twice
    EXPECT_DOUBLE_EQ(deliveredPercent(c), 50);
    EXPECT_DOUBLE_EQ(deliveredPercent(LossCount{}), 0);
    EXPECT_EQ(stampsBetween(given, 2, 4).size(), 2u);  // from included, to not
}

// A burst makes the blocks after it wait; the recovery ends with the last block that still
// waited the limit or longer. Blocks sent every 16 ms from 0; `delays` in ms, -1 for a block
// let go.
TEST(Matching, RecoveryFromABurstEndsAfterTheLastBlockThatWaitedTooLong)
{
    struct Case {
        const char *what;
        std::vector<int> delays;
        double recoveryMs;
    };
    const std::vector<Case> cases = {
        {"never over the limit", {10, 20, 30}, 0},
        {"back under from the third block", {300, 100, 40, 20}, 32},
        {"a block let go does not count either way", {300, -1, 20, 20}, 16},
        {"the last block still over: never", {300, 200, 100}, -1},
        {"nothing came out", {-1, -1}, -1},
    };
    for (const Case &c : cases) {
        std::vector<Stamp> sent, came;
        for (size_t i = 0; i < c.delays.size(); ++i) {
            const int64_t at = static_cast<int64_t>(i) * 16000000;
            sent.push_back({at, 0, static_cast<uint32_t>(i)});
            if (c.delays[i] >= 0)
                came.push_back({at + c.delays[i] * 1000000LL, 0, static_cast<uint32_t>(i)});
        }
        sent.push_back({-16000000, 0, 99});  // before the burst: not looked at
        came.push_back({500000000, 0, 99});
        EXPECT_DOUBLE_EQ(recoveryMs(sent, came, 0, 48), c.recoveryMs) << c.what;
    }
}

TEST(AudioBlocks, HeadCarriesShieldAndSequenceAndIsRecognised)
{
    for (const auto &c :
         {std::make_pair(0, 0u), std::make_pair(5, 0x01020304u), std::make_pair(3, 0xFFFFFFFFu)}) {
        const auto head = audioHead(c.first, c.second);
        int shield = -1;
        uint32_t seq = 0;
        ASSERT_TRUE(readAudioHead(head.data(), &shield, &seq));
        EXPECT_EQ(shield, c.first);
        EXPECT_EQ(seq, c.second);
    }
    const uint8_t silence[8] = {0xFF, 0x7F, 0xFF, 0x7F, 0xFF, 0x7F, 0xFF, 0x7F};
    int shield = -1;
    uint32_t seq = 0;
    EXPECT_FALSE(readAudioHead(silence, &shield, &seq));
    auto broken = audioHead(2, 9);
    broken[3] = 0;  // the shield's complement does not match
    EXPECT_FALSE(readAudioHead(broken.data(), &shield, &seq));
}

TEST(AudioBlocks, DrawnFromLongTransfersOfTheirOwnShield)
{
    Transfer in;
    in.ns = 1;
    in.shield = 2;
    in.length = 528;
    in.hasAudio = true;
    in.sentAudio = audioHead(2, 40);
    in.receivedAudio = audioHead(2, 39);
    Transfer stray = in;
    stray.shield = 3;  // a head naming shield 2 on shield 3's transfer is not counted
    Transfer shortOne = in;
    shortOne.hasAudio = false;
    const std::vector<Transfer> log = {in, stray, shortOne};
    const auto to = audioToShield(log);
    const auto from = audioFromShield(log);
    ASSERT_EQ(to.size(), 1u);
    EXPECT_EQ(to[0].key, 40u);
    ASSERT_EQ(from.size(), 1u);
    EXPECT_EQ(from[0].key, 39u);
    // 528 bytes at 1.5625 MHz: the exchange ends 2.70336 ms after its start.
    EXPECT_EQ(audioFromShieldAtExchangeEnd(log, 1562500).at(0).ns, 1 + 2703360);
    EXPECT_EQ(audioFromShieldAtExchangeEnd(log, 0).at(0).ns, 1);
}

TEST(FramesOnBus, CommandsAndEventsByCodeWithAValidCrc)
{
    Transfer dial = sentTo(5, 1, frame(0x8A, 0x13, 0x04, 0xD2));  // dial 1234
    dial.received = frame(0x0A, 0x80, 0x0B, 0xB8);                // event: dial 3000
    Transfer damaged = dial;
    damaged.sent[6] ^= 0xFF;
    damaged.received[7] ^= 0xFF;
    Transfer open = sentTo(6, 1, frame(0x0A, 0x20, 0, 3));
    const std::vector<Transfer> log = {dial, damaged, open};

    const auto commands = commandsOnBus(log, 0x13);
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_EQ(commands[0].shield, 1);
    EXPECT_EQ(commands[0].key, 1234u);
    const auto events = eventsOnBus(log, 0x80);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].key, 3000u);
    EXPECT_TRUE(commandsOnBus(log, 0x61).empty());
}

TEST(BringUp, ProtocolMinimumAtSixteenAndTwoMilliseconds)
{
    const BringUpMinimum m = protocolMinimum(16, 2);
    // 800 reboot + 2 x 16 ping + 1500 wait + 13 x 16 identification.
    EXPECT_DOUBLE_EQ(m.readyMs, 2540);
    // + 256 x 16 for 128 words + 2 x 2 x 16 for the two second pings.
    EXPECT_DOUBLE_EQ(m.pushedMs, 2540 + 4096 + 64);
}

TEST(ProcFiles, CpuTimeAndPeakMemory)
{
    // The command name may hold spaces and parentheses; utime 250 and stime 50 ticks.
    const std::string stat =
        "4242 (stm (odd) name) S 1 4242 4242 0 -1 4194560 500 0 0 0 250 50 0 0 20 0 7 0 100";
    EXPECT_DOUBLE_EQ(cpuSecondsFromStat(stat, 100), 3.0);
    EXPECT_LT(cpuSecondsFromStat("no fields", 100), 0);
    EXPECT_LT(cpuSecondsFromStat("1 (x) S 1 2", 100), 0);

    EXPECT_EQ(
        vmHwmFromStatus("Name:\tstm\nVmPeak:\t  9000 kB\nVmHWM:\t    5120 kB\nVmRSS: 10 kB\n"),
        5120);
    EXPECT_EQ(vmHwmFromStatus("Name:\tstm\n"), -1);
    EXPECT_GT(processCpuSeconds(::getpid()), -1);
    EXPECT_GT(peakRssKb(::getpid()), 0);

    std::string comm;
    unsigned long long ticks = 0;
    ASSERT_TRUE(parseStat(stat, &comm, &ticks));
    EXPECT_EQ(comm, "stm (odd) name");
    EXPECT_EQ(ticks, 300u);
    // "nonvoluntary_ctxt_switches" ends in the other key's name: each is read once.
    EXPECT_EQ(contextSwitchesFromStatus("Name:\tx\nvoluntary_ctxt_switches:\t120\n"
                                        "nonvoluntary_ctxt_switches:\t7\n"),
              127);
    EXPECT_EQ(contextSwitchesFromStatus("voluntary_ctxt_switches:\t120\n"), -1);
    const std::vector<ThreadSample> own = sampleThreads(::getpid());
    ASSERT_FALSE(own.empty());
    EXPECT_GT(own.front().tid, 0);
}

TEST(ProcFiles, ThreadCostsByNameBetweenTwoSamples)
{
    // Over 2 s at 100 ticks a second: two workers share a name, one thread starts in between,
    // one ends in between.
    const std::vector<ThreadSample> before = {
        {10, "stm-driver", 1000, 500},
        {11, "worker", 10, 100},
        {12, "worker", 20, 200},
        {13, "gone", 5, 5},
    };
    const std::vector<ThreadSample> after = {
        {10, "stm-driver", 1002, 540},
        {11, "worker", 14, 300},
        {12, "worker", 20, 210},
        {14, "late", 1, 30},
    };
    const std::vector<ThreadCost> costs = threadCosts(before, after, 2.0, 100);
    ASSERT_EQ(costs.size(), 3u);
    EXPECT_EQ(costs[0].comm, "late");  // counted from zero
    EXPECT_DOUBLE_EQ(costs[0].cpuPercent, 0.5);
    EXPECT_DOUBLE_EQ(costs[0].switchesPerSecond, 15);
    EXPECT_EQ(costs[1].comm, "stm-driver");
    EXPECT_DOUBLE_EQ(costs[1].cpuPercent, 1);
    EXPECT_DOUBLE_EQ(costs[1].switchesPerSecond, 20);
    EXPECT_EQ(costs[2].comm, "worker");
    EXPECT_EQ(costs[2].threads, 2);
    EXPECT_DOUBLE_EQ(costs[2].cpuPercent, 2);
    EXPECT_DOUBLE_EQ(costs[2].switchesPerSecond, 105);
}

TEST(DriverReports, OverrunLinesAreCountedAndTheirCyclesSummed)
{
    std::istringstream err(
        "#WARNING: transfer cycle overran its 16 ms period in 3 cycles of the last 5 s; "
        "longest 17.412 ms\n"
        "#INFO shield 2 online\n"
        "  #WARNING: transfer cycle overran its 16 ms period in 9 cycles; longest 99 ms\n"
        "#WARNING: transfer cycle overran its 16 ms period: 12 cycles late or overran in the "
        "last 5 s; longest 21.5 ms\n"
        "#WARNING: transfer cycle overran its 16 ms period in 1 cycle of the last 5 s; "
        "longest 16.9 ms\n"
        "#WARNING: transfer cycle overran its period\n");
    const OverrunReports r = readOverrunReports(err);
    EXPECT_EQ(r.lines, 4u);  // not the indented line, but the one without figures
    EXPECT_EQ(r.cycles, 16);
    EXPECT_DOUBLE_EQ(r.longestMs, 21.5);

    std::istringstream quiet("#INFO all well\n");
    const OverrunReports none = readOverrunReports(quiet);
    EXPECT_EQ(none.lines, 0u);
    EXPECT_EQ(none.cycles, 0);
}

TEST(Headline, EachTargetIsJudgedOnTheRunsItIsSetFor)
{
    RunSummary base;
    {
        std::istringstream tsv(
            "median_period_ms\t16.0001\np99_dev_ms\t0.5\ncyclictest_p99_dev_ms\t0.45\n"
            "ratio_p99_dev\t1.1111\ncycles_over_17ms\t4\ncycles_over_17ms_pct\t0.1\n"
            "cyclictest_late_wakeups\t3\ncyclictest_late_pct\t0.08\n"
            "supervisor_tick_ms\t2.02\noverrun_lines\t0\nnot a pair\n"
            "one_call_paced_p99_ms\t31\nsix_calls_in_p99_ms\t65\n");
        base = readSummary(tsv);
    }
    EXPECT_EQ(base.at("ratio_p99_dev"), "1.1111");
    EXPECT_EQ(base.count("not a pair"), 0u);
    RunSummary quiet = base, loaded = base, rt = base;
    quiet["label"] = "Quiet";
    loaded["label"] = "Loaded";
    loaded["load"] = "1";
    rt["label"] = "RT";
    rt["load"] = "1";
    rt["rtprio"] = "50";
    const std::string table = headlineTable({quiet, loaded, rt});
    const auto rowOf = [&](const std::string &start) {
        const size_t at = table.find("| " + start);
        return at == std::string::npos ? std::string()
                                       : table.substr(at, table.find('\n', at) - at);
    };
    const auto verdicts = [](const std::string &row) {
        std::string v;
        for (size_t at = row.find(" — "); at != std::string::npos; at = row.find(" — ", at + 1))
            v += row.compare(at, std::strlen(" — met"), " — met") == 0 ? 'y' : 'n';
        return v;
    };
    EXPECT_EQ(table.substr(0, table.find('\n')), "| Measure | Quiet | Loaded | RT | Target |");
    EXPECT_EQ(verdicts(rowOf("Driver: p99")), "n");        // 0.5 ms over 0.3, the RT run only
    EXPECT_EQ(verdicts(rowOf("cyclictest's own")), "y");   // ratio 1.11, loaded at normal only
    EXPECT_EQ(verdicts(rowOf("Cycles over 17 ms")), "n");  // 4 late cycles against 3
    EXPECT_EQ(verdicts(rowOf("Supervisor tick")), "nnn");  // 2.02 ms on every run
    EXPECT_NE(rowOf("Overrun reports").find("| none | none | none |"), std::string::npos);
    // 31 ms within 32, 65 over 64; a run without the faster bus has a dash for it.
    EXPECT_EQ(verdicts(rowOf("Host audio")), "ynynyn");
    EXPECT_NE(rowOf("Host audio").find("**not met**; – |"), std::string::npos);
}

TEST(FramesOnBus, ACommandWaitsWhenAnotherCommandHeldTheSlot)
{
    const Stamp command{100 * 1000000LL, 2, 1234};
    const int64_t onBus = 140 * 1000000LL;
    const int64_t lookBack = 32 * 1000000LL;
    const auto dial = frame(0x8A, 0x13, 0x04, 0xD2);
    struct Case {
        const char *what;
        Transfer other;
        bool taken;
    };
    const Case cases[] = {
        {"a second ping before it", sentTo(90, 2, frame(0x0A, 0x61, 0x5A, 0x00)), true},
        {"a list word in between", sentTo(120, 2, frame(0x0A, 0x32, 0, 1)), true},
        {"a second ping too long before", sentTo(60, 2, frame(0x0A, 0x61, 0x5A, 0x00)), false},
        {"a ping to another shield", sentTo(120, 3, frame(0x0A, 0x61, 0x5A, 0x00)), false},
        {"a first ping", sentTo(120, 2, frame(0x0A, 0x60, 0, 0)), false},
        {"an event echoed back", sentTo(120, 2, frame(0x8A, 0xE3, 0x0B, 0xB9)), false},
        {"an idle frame", sentTo(120, 2, std::array<uint8_t, 8>{}), false},
        {"its own frame, repeated", sentTo(120, 2, dial), false},
        {"after it reached the bus", sentTo(150, 2, frame(0x0A, 0x61, 0x5A, 0x00)), false},
    };
    for (const Case &c : cases)
        EXPECT_EQ(slotWasTaken({c.other}, command, onBus, 0x13, lookBack), c.taken) << c.what;
}

TEST(EventLines, DebugNumberLinesOfAMultiShieldDriver)
{
    int shield = -1;
    uint32_t number = 0;
    ASSERT_TRUE(parseDebugNumberLine("#DEBUG 3: 3001", &shield, &number));
    EXPECT_EQ(shield, 3);
    EXPECT_EQ(number, 3001u);
    for (const char *line : {"#DEBUG: 3001", "#DEBUG 3: abc", "#DEBUG 3:3001", "#DEBUG 3 : 3001",
                             "3 dial 3001", "#DEBUG 3: 3001 x", "#ERROR 3: 3001"})
        EXPECT_FALSE(parseDebugNumberLine(line, &shield, &number)) << line;
}

TEST(Callgrind, ThreadTotalsCallsAndTheEmulatedShieldsApart)
{
    // A transfer thread as callgrind dumps it: the cycle calls the emulated board, which calls the
    // shield model and a library function; only the outermost call into the emulation counts.
    std::istringstream dump(
        "# callgrind format\n"
        "thread: 2\n"
        "positions: line\n"
        "events: Ir\n"
        "summary: 5000\n"
        "fl=/src/link/spitransmitter.cpp\n"
        "fn=SPItransmitter::main_func()\n"
        "10 400\n"
        "cfl=/src/sim/emulatedboard.cpp\n"
        "cfn=EmulatedBoard::spi_transfer(unsigned char*)\n"
        "calls=6 20\n"
        "+2 3000\n"
        "fl=/src/sim/emulatedboard.cpp\n"
        "fn=EmulatedBoard::spi_transfer(unsigned char*)\n"
        "21 200\n"
        "cfn=ShieldModel::transfer(QByteArray const&)\n"
        "calls=6 30\n"
        "22 2500\n"
        "fl=/src/base/timerthread.cpp\n"
        "fn=TimerThread::tickWhenDue()\n"
        "cfn=SPItransmitter::main_func()\n"
        "calls=3 10\n"
        "5 3400\n"
        "totals: 5000\n");
    const CallgrindThread t =
        readCallgrind(dump, {"EmulatedBoard::", "ShieldModel::", "BootloaderModel::"});
    EXPECT_EQ(t.thread, 2);
    EXPECT_EQ(t.instructions, 5000u);
    EXPECT_EQ(t.emulated, 3000u);
    EXPECT_EQ(callsOf(t, "SPItransmitter::main_func("), 3u);
    EXPECT_EQ(callsOf(t, "ShieldModel::"), 6u);
    EXPECT_EQ(t.functions.count("TimerThread::tickWhenDue()"), 1u);
}
