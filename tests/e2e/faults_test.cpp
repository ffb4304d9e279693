// Faults from both sides of the driver, each checked by what the host and the shields see
// afterwards: a shield that falls silent in the middle of a call, a burst of bootloader bytes on
// two shields, a host that floods a call with audio, a host that writes one endless line. The
// driver must come back to full service by itself, and its memory must stay bounded.
// The driver's UDP ports are fixed, so the pairs that play audio hold the machine-wide lock.

#include "support/e2eprocess.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QUdpSocket>

#include <gtest/gtest.h>

#include <memory>

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
    EXPECT_EQ(pair.driver().err(), QString()) << pair.describe();
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
