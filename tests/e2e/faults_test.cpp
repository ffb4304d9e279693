// Faults from both sides of the driver, each checked by what the host and the shields see
// afterwards: a shield that falls silent in the middle of a call, a burst of bootloader bytes on
// two shields, bus noise on every byte that restarts the link now and then while events and
// commands flow, a host that floods a call with audio, a host that writes one endless line. The
// driver must come back to full service by itself, and its memory must stay bounded.
// The driver's UDP ports are fixed, so the pairs that play audio hold the machine-wide lock.

#include "support/e2eprocess.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QUdpSocket>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <random>

namespace {

// How much the driver's resident memory may grow under a flood. A sanitizer build of the driver
// keeps shadow memory for what it touches, several times the plain figure.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
const qint64 rssGrowthLimitKb = 100 * 1024;
#else
const qint64 rssGrowthLimitKb = 20 * 1024;
#endif

constexpr int blockSize = 512;

const QStringList singleSim = {QStringLiteral("--shields"), QStringLiteral("0"),
                               QStringLiteral("--single")};
const QStringList singleDriver = {QStringLiteral("-ic"), QStringLiteral("10")};
const QString pushed = QStringLiteral("#Shield update black list");

// The numbers of the datagrams from `from` on that carry `tag`, in arrival order.
QList<quint32> taggedNumbers(const QList<QByteArray> &datagrams, const char tag[4], int from)
{
    QList<quint32> numbers;
    for (int i = from; i < datagrams.size(); ++i) {
        if (datagrams.at(i).startsWith(QByteArray(tag, 4)))
            numbers << numberOf(datagrams.at(i));
    }
    return numbers;
}

// Picks up a call on single shield 0 and waits until its audio flows both ways.
void startCall(E2ePair &pair, AudioHost &host)
{
    const int simFrom = pair.sim().lineCount();
    const int got = host.got.size();
    pair.driver().writeLine(QStringLiteral("pickup"));
    ASSERT_TRUE(pair.waitExecuted(0, QStringLiteral("audio on"), simFrom)) << pair.describe();
    ASSERT_TRUE(E2eProcess::waitUntil([&] { return host.got.size() >= got + 20; }))
        << pair.describe();
    ASSERT_TRUE(E2eProcess::waitUntil([&] { return host.driverListens(); })) << pair.describe();
}

// Host blocks paced as the shield plays them reach the shield and come back (loop-back on)
// once each and in order.
void checkPacedAudio(E2ePair &pair, AudioHost &host, const char tag[4], int count)
{
    const char warm[4] = {'W', 'A', 'R', 'M'};
    quint32 warmUps = 0;
    int got = host.got.size();
    ASSERT_TRUE(E2eProcess::waitUntil([&] {
        host.send(numberedBlock(warm, warmUps++));
        E2eProcess::pump(50);
        return !taggedNumbers(host.got, warm, got).isEmpty();
    })) << pair.describe();
    // Whatever the queue still held drains before the numbered blocks go.
    E2eProcess::pump(1000);
    got = host.got.size();
    QList<quint32> sent;
    for (quint32 n = 0; n < static_cast<quint32>(count); ++n) {
        host.send(numberedBlock(tag, n));
        sent << n;
        E2eProcess::pump(16);
    }
    EXPECT_TRUE(E2eProcess::waitUntil([&] {
        const QList<quint32> back = taggedNumbers(host.got, tag, got);
        return !back.isEmpty() && back.last() == sent.last();
    })) << pair.describe();
    EXPECT_EQ(taggedNumbers(host.got, tag, got), sent);
}

int restartLines(E2eProcess &driver)
{
    return driver.err().count(QStringLiteral("#Restart ALL Shields"));
}

}  // namespace

TEST(E2eFaults, ShieldMuteInACallEndsItsAudioAndItComesBackIntoService)
{
    E2ePair pair(singleSim, singleDriver, true);
    ASSERT_TRUE(pair.started()) << pair.describe();
    ASSERT_GE(pair.driver().waitForLine(pushed), 0) << pair.describe();
    AudioHost host(20002);
    ASSERT_TRUE(host.listening) << "port 20002 is taken";
    startCall(pair, host);

    const int from = pair.driver().lineCount();
    pair.sim().writeLine(QStringLiteral("mute 0"));
    // The driver's unanswered repeats run up to its error limit first (some 12 s).
    const int gone = pair.driver().waitForLine(QStringLiteral("shield_disconect"), from, 60000);
    ASSERT_GE(gone, 0) << pair.describe();
    // The call's audio ends with the link: nothing more to the host, the host port is free.
    EXPECT_TRUE(E2eProcess::waitUntil([&] { return !host.driverListens(); }, 5000))
        << "the driver still holds port 20003";
    E2eProcess::pump(500);  // datagrams already on their way
    const int got = host.got.size();
    E2eProcess::pump(1500);
    EXPECT_EQ(host.got.size(), got) << "datagrams from a shield that is offline";

    // Back: identified, lists pushed, and a full call works again.
    const int back = pair.driver().lineCount();
    pair.sim().writeLine(QStringLiteral("unmute 0"));
    ASSERT_GE(pair.driver().waitForLine(pushed, back), 0) << pair.describe();
    EXPECT_EQ(pair.driver().lines().mid(back).count(QStringLiteral("shield_ready")), 1);
    pair.sim().writeLine(QStringLiteral("loopback 0 on"));
    startCall(pair, host);
    const char tag[4] = {'M', 'U', 'T', 'E'};
    checkPacedAudio(pair, host, tag, 30);
    EXPECT_EQ(pair.driver().errBesidesOverruns(), QString()) << pair.describe();
}

TEST(E2eFaults, BootloaderByteBurstRestartsABoundedNumberOfTimesThenStaysInService)
{
    const QList<int> present = {0, 2};
    E2ePair pair({QStringLiteral("--shields"), QStringLiteral("0,2"),
                  QStringLiteral("--multishield")},
                 {QStringLiteral("-multishield"), QStringLiteral("-ic"), QStringLiteral("10")});
    ASSERT_TRUE(pair.started()) << pair.describe();
    for (int s : present) {
        ASSERT_GE(pair.driver().waitForLine(QStringLiteral("#Shield %1 update black list").arg(s)),
                  0)
            << pair.describe();
    }

    // Ten bootloader bytes within a second, taking turns on the two shields.
    for (int i = 0; i < 10; ++i) {
        pair.sim().writeLine(QStringLiteral("ack79 %1").arg(present.at(i % 2)));
        E2eProcess::pump(90);
    }
    ASSERT_TRUE(pair.driver().waitForErr(QStringLiteral("#Restart ALL Shields"))) << pair.describe();

    // Within 10 s of the burst every present shield is back after the last restart so far.
    int restarts = restartLines(pair.driver());
    int markFrom = pair.driver().lineCount();
    const auto allBack = [&] {
        const int now = restartLines(pair.driver());
        if (now != restarts) {
            restarts = now;
            markFrom = pair.driver().lineCount();
        }
        for (int s : present) {
            if (pair.driver().waitForLine(QStringLiteral("#Shield %1 update black list").arg(s),
                                          markFrom, 0) < 0)
                return false;
        }
        return true;
    };
    ASSERT_TRUE(E2eProcess::waitUntil(allBack, 10000)) << pair.describe();
    EXPECT_GE(restarts, 1);
    EXPECT_LE(restarts, 10) << "more restarts than bootloader bytes";

    // No restart storm: five quiet seconds, nobody leaves service.
    const int quietFrom = pair.driver().lineCount();
    E2eProcess::pump(5000);
    EXPECT_EQ(restartLines(pair.driver()), restarts) << pair.describe();
    const QStringList quiet = pair.driver().lines().mid(quietFrom);
    for (const QString &line : quiet) {
        EXPECT_FALSE(line.endsWith(QLatin1String("shield_disconect")) ||
                     line.endsWith(QLatin1String("shield_ready")))
            << line.toStdString();
    }
    // In service: each shield takes a command and reports an event, once each.
    for (int s : present) {
        SCOPED_TRACE(s);
        const int simFrom = pair.sim().lineCount();
        const int from = pair.driver().lineCount();
        pair.driver().writeLine(QStringLiteral("%1 open %2").arg(s).arg(40 + s));
        ASSERT_TRUE(pair.waitExecuted(s, QStringLiteral("open door %1").arg(40 + s), simFrom))
            << pair.describe();
        pair.sim().writeLine(QStringLiteral("debugnum %1 %2").arg(s).arg(7000 + s));
        const QString event = QStringLiteral("#DEBUG %1: %2").arg(s).arg(7000 + s);
        ASSERT_GE(pair.driver().waitForLine(event, from), 0) << pair.describe();
        E2eProcess::pump(300);
        EXPECT_EQ(pair.driver().lines().mid(from).count(event), 1);
        EXPECT_EQ(pair.executed(s, simFrom),
                  QStringList{QStringLiteral("open door %1").arg(40 + s)});
    }
    for (int s : {1, 3, 4, 5})
        EXPECT_FALSE(pair.driver().lines().contains(QStringLiteral("%1 shield_ready").arg(s)));
}

TEST(E2eFaults, NoiseOnEveryByteRestartsTheLinkAndNothingIsDeliveredTwice)
{
    // What a restart keeps and what it ends, as these checks expect it:
    // - Noise that turns a start byte into 0x79 or 0x1F makes the driver restart the link, and a
    //   restart reboots all six shields. A rebooted shield starts afresh and forgets the events it
    //   had not seen acknowledged: such an event is reported once (the driver read it before the
    //   acknowledgement was lost) or not at all, never twice. An event the shield still holds
    //   after its last reboot is offered until acknowledged and reported exactly once. Noise
    //   that makes 0xA5 starts a bootloader hand-off, which finds no bootloader and changes
    //   nothing.
    // - The driver keeps its queued commands across a restart, but forgets the one outstanding
    //   (sent, reply not yet checked): the shield may have executed it before its reboot, or
    //   not. So every command is executed at most once; on each shield at most one command per
    //   restart goes missing, and only one written before that restart; a command that finds
    //   its shield out of service is refused; every other command is executed exactly once.
    // - Every event and command carries a number of its own, so an echo the driver still holds
    //   from before a restart can never pass for a new one.
    const int shields = 6;
    E2ePair pair({QStringLiteral("--multishield")},
                 {QStringLiteral("-multishield"), QStringLiteral("-ic"), QStringLiteral("10")});
    ASSERT_TRUE(pair.started()) << pair.describe();
    for (int s = 0; s < shields; ++s) {
        ASSERT_GE(pair.driver().waitForLine(QStringLiteral("#Shield %1 update black list").arg(s)),
                  0)
            << pair.describe();
    }
    // One frame in four damaged each way, idle frames included: with the simulator's fixed noise
    // the first forged bootloader bytes come some 450 transfers (7 s) into the run.
    for (int s = 0; s < shields; ++s)
        pair.sim().writeLine(QStringLiteral("corrupt %1 4").arg(s));

    struct Sent {
        int shield;
        int simLine;  // the simulator's line count when it was written
    };
    QMap<quint32, Sent> events;    // debug number -> where it was raised
    QMap<quint32, Sent> commands;  // dialled number -> where it was written
    std::mt19937 random(7);
    quint32 nextEvent = 600000;
    quint32 nextCommand = 20000;
    QElapsedTimer clock;
    clock.start();
    // Commands go only to shields in service as far as the host can tell (from the restart on
    // standard error until the shield's lists are pushed again it refuses them), so that almost
    // every lost command has to be explained by a restart.
    bool inService[shields];
    std::fill(inService, inService + shields, true);
    int restartsSeen = 0;
    int hostRead = pair.driver().lineCount();
    static const QRegularExpression pushLine(QStringLiteral("^#Shield ([0-5]) update black list$"));
    // Until the noise has restarted the link three times (some 20 s here), at most 90 s.
    while (clock.elapsed() < 90000 && (clock.elapsed() < 15000 || restartsSeen < 3)) {
        if (restartLines(pair.driver()) != restartsSeen) {
            restartsSeen = restartLines(pair.driver());
            std::fill(inService, inService + shields, false);
            hostRead = pair.driver().lineCount();
        }
        for (; hostRead < pair.driver().lineCount(); ++hostRead) {
            const QRegularExpressionMatch m = pushLine.match(pair.driver().lines().at(hostRead));
            if (m.hasMatch())
                inService[m.captured(1).toInt()] = true;
        }
        const int s = static_cast<int>(random() % shields);
        events.insert(nextEvent, {s, pair.sim().lineCount()});
        pair.sim().writeLine(QStringLiteral("debugnum %1 %2").arg(s).arg(nextEvent++));
        const int c = static_cast<int>(random() % shields);
        for (int i = 0; i < 3 && inService[c]; ++i) {
            commands.insert(nextCommand, {c, pair.sim().lineCount()});
            pair.driver().writeLine(QStringLiteral("%1 dial %2").arg(c).arg(nextCommand++));
        }
        E2eProcess::pump(150);
    }
    for (int s = 0; s < shields; ++s)
        pair.sim().writeLine(QStringLiteral("corrupt %1 0").arg(s));

    // Quiet again: no event left on offer at any shield (the simulator's status lines).
    static const QRegularExpression statusLine(
        QStringLiteral("^shield ([0-5]): (running|in bootloader), .* ([0-9]+) pending$"));
    const auto settled = [&] {
        const int mark = pair.sim().lineCount();
        pair.sim().writeLine(QStringLiteral("status"));
        E2eProcess::pump(1000);
        QMap<int, int> pending;
        for (const QString &line : pair.sim().lines().mid(mark)) {
            const QRegularExpressionMatch m = statusLine.match(line);
            if (m.hasMatch())
                pending[m.captured(1).toInt()] = m.captured(3).toInt();
        }
        for (int s = 0; s < shields; ++s) {
            if (pending.value(s, -1) != 0)
                return false;
        }
        return true;
    };
    bool quiet = false;
    for (int i = 0; i < 60 && !quiet; ++i)
        quiet = settled();
    ASSERT_TRUE(quiet) << pair.describe();
    E2eProcess::pump(3000);  // commands still on their way
    const int restarts = restartLines(pair.driver());

    // The shields' starts, by simulator line.
    QMap<int, QList<int>> starts;  // shield -> simulator lines of its starts
    const QStringList simLines = pair.sim().lines();
    static const QRegularExpression startLine(QStringLiteral("^shield ([0-5]): started "));
    static const QRegularExpression ackLine(
        QStringLiteral("^shield ([0-5]): event acknowledged: debug ([0-9]+)$"));
    static const QRegularExpression dialLine(
        QStringLiteral("^shield ([0-5]): executed dial ([0-9]+)$"));
    QMap<quint32, int> acknowledged;
    QMap<quint32, QList<int>> executedOn;  // number -> shields that executed it
    for (int i = 0; i < simLines.size(); ++i) {
        const QRegularExpressionMatch start = startLine.match(simLines.at(i));
        if (start.hasMatch())
            starts[start.captured(1).toInt()] << i;
        const QRegularExpressionMatch ack = ackLine.match(simLines.at(i));
        if (ack.hasMatch())
            ++acknowledged[ack.captured(2).toUInt()];
        const QRegularExpressionMatch dial = dialLine.match(simLines.at(i));
        if (dial.hasMatch())
            executedOn[dial.captured(2).toUInt()] << dial.captured(1).toInt();
    }
    const auto startedAfter = [&](int shield, int simLine) {
        const QList<int> &at = starts[shield];
        return !at.isEmpty() && at.last() >= simLine;
    };

    // Events: at most once; exactly once unless the shield started afresh after raising it.
    static const QRegularExpression debugLine(QStringLiteral("^#DEBUG ([0-5]): ([0-9]+)$"));
    QMap<quint32, QList<int>> reported;
    for (const QString &line : pair.driver().lines()) {
        const QRegularExpressionMatch m = debugLine.match(line);
        if (m.hasMatch())
            reported[m.captured(2).toUInt()] << m.captured(1).toInt();
    }
    int eventsLost = 0;
    for (auto it = events.cbegin(); it != events.cend(); ++it) {
        const QList<int> on = reported.value(it.key());
        EXPECT_LE(on.size(), 1) << "event " << it.key() << " reported " << on.size() << " times";
        if (!on.isEmpty()) {
            EXPECT_EQ(on.first(), it->shield) << "event " << it.key() << " under another shield";
        } else {
            ++eventsLost;
            EXPECT_TRUE(startedAfter(it->shield, it->simLine))
                << "event " << it.key() << " of shield " << it->shield
                << " never reported, though the shield held it to the end";
        }
        EXPECT_LE(acknowledged.value(it.key()), 1) << "event " << it.key();
        if (acknowledged.value(it.key()) == 1) {
            EXPECT_EQ(on.size(), 1) << "event " << it.key() << " acknowledged, not reported";
        }
    }
    for (auto it = reported.cbegin(); it != reported.cend(); ++it)
        EXPECT_TRUE(events.contains(it.key())) << "event " << it.key() << " was never raised";

    // Commands: at most once; at most one lost per shield and restart, each written before one.
    const int refused = pair.driver().lines().filter(
        QRegularExpression(QStringLiteral("^#WARNING: Address [0-5] not available for command$")))
                            .size();
    QMap<int, int> lostOn;
    QMap<int, int> lostWithoutStart;
    QMap<QPair<int, int>, int> lostAtStart;  // (shield, simulator line of a start) -> lost
    int commandsLost = 0;
    for (auto it = commands.cbegin(); it != commands.cend(); ++it) {
        const QList<int> on = executedOn.value(it.key());
        EXPECT_LE(on.size(), 1) << "dial " << it.key() << " executed " << on.size() << " times";
        if (!on.isEmpty()) {
            EXPECT_EQ(on.first(), it->shield) << "dial " << it.key() << " on another shield";
            continue;
        }
        // Lost: the one outstanding at a restart (the shield started afresh after it was
        // written), or refused while its shield was out of service.
        ++commandsLost;
        ++lostOn[it->shield];
        if (!startedAfter(it->shield, it->simLine)) {
            ++lostWithoutStart[it->shield];
            continue;
        }
        // The start that ended it: the queue behind the outstanding command survives it.
        const QList<int> &at = starts[it->shield];
        const int start = *std::lower_bound(at.begin(), at.end(), it->simLine);
        EXPECT_EQ(++lostAtStart[qMakePair(it->shield, start)], 1)
            << "dial " << it.key() << ": a second command of shield " << it->shield
            << " lost with the restart at simulator line " << start
            << "; only the outstanding one may go";
    }
    for (int sh = 0; sh < shields; ++sh) {
        const int refusedHere = pair.driver().lines().count(
            QStringLiteral("#WARNING: Address %1 not available for command").arg(sh));
        EXPECT_LE(lostOn.value(sh), restarts + refusedHere)
            << "shield " << sh << " lost " << lostOn.value(sh) << " commands: more than "
            << restarts << " restarts and " << refusedHere << " refusals explain";
        EXPECT_LE(lostWithoutStart.value(sh), refusedHere)
            << "shield " << sh << " lost " << lostWithoutStart.value(sh)
            << " commands written after its last start, with " << refusedHere << " refusals";
    }

    // Back in service: each shield takes a command and reports an event once after it all.
    for (int s = 0; s < shields; ++s) {
        SCOPED_TRACE(s);
        const int simFrom = pair.sim().lineCount();
        const int from = pair.driver().lineCount();
        pair.driver().writeLine(QStringLiteral("%1 open %2").arg(s).arg(50 + s));
        EXPECT_TRUE(pair.waitExecuted(s, QStringLiteral("open door %1").arg(50 + s), simFrom))
            << pair.describe();
        pair.sim().writeLine(QStringLiteral("debugnum %1 %2").arg(s).arg(8000 + s));
        EXPECT_GE(pair.driver().waitForLine(QStringLiteral("#DEBUG %1: %2").arg(s).arg(8000 + s),
                                            from),
                  0)
            << pair.describe();
    }

    // The noise did what it is there for: it restarted the link.
    std::printf("noise on every byte: %d restarts, %lld events (%d lost with a reboot), "
                "%lld commands (%d lost, %d refused)\n",
                restarts, static_cast<long long>(events.size()), eventsLost,
                static_cast<long long>(commands.size()), commandsLost, refused);
    RecordProperty("restarts", restarts);
    RecordProperty("events_lost", eventsLost);
    RecordProperty("commands_lost", commandsLost);
    EXPECT_GE(restarts, 1) << "the noise never restarted the link";
}

TEST(E2eFaults, AudioFloodAtTenTimesTheRateIsDroppedWithBoundedMemoryAndReports)
{
    E2ePair pair(singleSim, singleDriver, true);
    ASSERT_TRUE(pair.started()) << pair.describe();
    ASSERT_GE(pair.driver().waitForLine(pushed), 0) << pair.describe();
    const qint64 pid = pair.driver().pid();
    ASSERT_GT(pid, 0) << "no driver process for " << pair.socketPath().toStdString();
    AudioHost host(20002);
    ASSERT_TRUE(host.listening) << "port 20002 is taken";
    pair.sim().writeLine(QStringLiteral("loopback 0 on"));
    startCall(pair, host);

    const qint64 before = rssKb(pid);
    ASSERT_GT(before, 0);
    // 320 kB/s, ten times what the shield plays, for five seconds; the report lines are timed as
    // they come.
    const QString report = QStringLiteral("#WARNING: UDP audio on port 20003: ");
    const char flood[4] = {'F', 'L', 'O', 'D'};
    const qint64 bytesPerSecond = 320 * 1024;
    const qint64 floodMs = 5000;
    qint64 maxRss = before;
    QList<qint64> reportTimes;
    QElapsedTimer clock;
    clock.start();
    quint32 sent = 0;
    const auto noteReports = [&] {
        while (pair.driver().err().count(report) > reportTimes.size())
            reportTimes << clock.elapsed();
    };
    while (clock.elapsed() < floodMs) {
        while (qint64(sent) * blockSize < bytesPerSecond * clock.elapsed() / 1000)
            host.send(numberedBlock(flood, sent++));
        maxRss = qMax(maxRss, rssKb(pid));
        noteReports();
        E2eProcess::pump(5);
    }
    EXPECT_GE(qint64(sent) * blockSize, bytesPerSecond * floodMs / 1000 * 9 / 10);
    // A last report may follow the flood; none comes without dropped audio.
    EXPECT_TRUE(E2eProcess::waitUntil(
        [&] {
            noteReports();
            return !reportTimes.isEmpty();
        },
        5000))
        << pair.describe();
    E2eProcess::pump(1000);
    noteReports();
    maxRss = qMax(maxRss, rssKb(pid));
    EXPECT_LT(maxRss - before, rssGrowthLimitKb) << "VmRSS " << before << " kB -> " << maxRss << " kB";
    // At most one report in 5 s (with some slack for when the test reads the lines).
    EXPECT_LE(reportTimes.size(), 2);
    for (int i = 1; i < reportTimes.size(); ++i)
        EXPECT_GE(reportTimes.at(i) - reportTimes.at(i - 1), 4000) << "report " << i;
    // The flood was cut, not played: far fewer of its blocks came back than were sent.
    EXPECT_LT(taggedNumbers(host.got, flood, 0).size(), static_cast<int>(sent) / 2);

    // Paced audio goes through again, whole and in order.
    const char paced[4] = {'P', 'A', 'C', 'E'};
    checkPacedAudio(pair, host, paced, 40);
    EXPECT_TRUE(pair.driver().running());
}

TEST(E2eFaults, EndlessLineKeepsMemoryBoundedAndTheNextCommandRuns)
{
    E2ePair pair(singleSim, singleDriver);
    ASSERT_TRUE(pair.started()) << pair.describe();
    ASSERT_GE(pair.driver().waitForLine(pushed), 0) << pair.describe();
    const qint64 pid = pair.driver().pid();
    ASSERT_GT(pid, 0) << "no driver process for " << pair.socketPath().toStdString();
    const qint64 before = rssKb(pid);
    ASSERT_GT(before, 0);
    const int simFrom = pair.sim().lineCount();
    const int from = pair.driver().lineCount();

    // 8 MB without an end of line, in 64 kB pieces; a piece read as a line would open door 9.
    QByteArray chunk;
    while (chunk.size() < 64 * 1024)
        chunk += "open 9 ";
    qint64 maxRss = before;
    pair.driver().write("X");
    for (int i = 0; i < 128; ++i) {
        pair.driver().write(chunk);
        E2eProcess::pump(5);
        if (i % 8 == 0)
            maxRss = qMax(maxRss, rssKb(pid));
    }
    E2eProcess::pump(500);
    maxRss = qMax(maxRss, rssKb(pid));
    pair.driver().write("\nopen 4\n");
    ASSERT_TRUE(pair.waitExecuted(0, QStringLiteral("open door 4"), simFrom)) << pair.describe();
    maxRss = qMax(maxRss, rssKb(pid));

    EXPECT_LT(maxRss - before, rssGrowthLimitKb) << "VmRSS " << before << " kB -> " << maxRss << " kB";
    EXPECT_EQ(pair.executed(0, simFrom), QStringList{QStringLiteral("open door 4")});
    EXPECT_EQ(pair.driver().err().count(QStringLiteral("#ERROR: console line longer than")), 1)
        << pair.describe();
    // Nothing of it went to the host.
    EXPECT_EQ(withoutLinkWarnings(pair.driver().lines().mid(from)), QStringList())
        << pair.describe();
}
