// Line events from shield-sim to the host: each event gives its exact line on the driver's
// standard output, once, in the order the shield raised them, also over a link that damages
// frames, to a host that stops reading for a while, to an output that fails, and when the driver
// is stopped with lines still queued.

#include "support/e2eprocess.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <csignal>
#include <cstring>
#include <utility>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct EventCase {
    QString simCommand;  // what happens on the line
    QString hostLine;    // what the host reads
};

// The host lines after `from`, without the periodic link-error counts, which a damaged link
// adds between the events.
QStringList eventLines(const E2eProcess &driver, int from)
{
    QStringList lines = driver.lines().mid(from);
    lines.erase(std::remove_if(lines.begin(), lines.end(),
                               [](const QString &l) {
                                   return l.contains(QLatin1String(" WARNING: SPI: TX errors: ")) ||
                                          l.contains(QLatin1String(" WARNING: SPI: RX errors: "));
                               }),
                lines.end());
    return lines;
}

// Raises the events in one go, then a last one whose line marks that all before it are through
// (a shield offers its events one at a time, in order).
void raiseAll(E2ePair &pair, const QList<EventCase> &events, const QString &marker)
{
    for (const EventCase &e : events)
        pair.sim().writeLine(e.simCommand);
    pair.sim().writeLine(marker);
}

const QStringList singleSim = {QStringLiteral("--shields"), QStringLiteral("0"),
                               QStringLiteral("--single")};

}  // namespace

TEST(E2eEvents, EveryEventGivesItsLineOnceAndInOrderAlsoOverADamagingLink)
{
    E2ePair pair(singleSim, {QStringLiteral("-ic"), QStringLiteral("10")});
    ASSERT_TRUE(pair.started()) << pair.describe();
    ASSERT_GE(pair.driver().waitForLine(QStringLiteral("#Shield update black list")), 0)
        << pair.describe();

    const QList<EventCase> everyKind = {
        {QStringLiteral("dial 0 300"), QStringLiteral("dial 300")},
        // Index 10 is no supported intercom: the address index stays off the line.
        {QStringLiteral("dial 0 300 7"), QStringLiteral("dial 300")},
        {QStringLiteral("key 0 1234"), QStringLiteral("keyopen 1234")},
        {QStringLiteral("key 0 65535"), QStringLiteral("keyopen 65535")},
        {QStringLiteral("pickup 0"), QStringLiteral("pickup")},
        {QStringLiteral("open 0"), QStringLiteral("open")},
        {QStringLiteral("hangup 0"), QStringLiteral("drop")},
        {QStringLiteral("phone 0 0"), QStringLiteral("phone notfound")},
        {QStringLiteral("phone 0 1"), QStringLiteral("phone detected")},
        {QStringLiteral("phone 0 2"), QStringLiteral("phone short")},
        {QStringLiteral("phone 0 3"), QStringLiteral("phone shortline")},
        {QStringLiteral("phone 0 4"), QStringLiteral("phone pickup")},
        {QStringLiteral("phone 0 9"), QStringLiteral("phone notfound")},
        {QStringLiteral("error 0 0x101"), QStringLiteral("#ERROR: Hang loop read dial")},
        {QStringLiteral("error 0 0x102"), QStringLiteral("#ERROR: Hang loop call")},
        {QStringLiteral("error 0 0x110"), QStringLiteral("#ERROR: Hang loop unknown")},
        {QStringLiteral("error 0 0x111"), QStringLiteral("#ERROR: Uncnown code: 0x111")},
        {QStringLiteral("debug 0 ABCD"), QStringLiteral("#DEBUG: ABCD")},
        {QStringLiteral("debug 0 AB"), QStringLiteral("#DEBUG: AB")},
        {QStringLiteral("debugnum 0 1000"), QStringLiteral("#DEBUG: 1000")},
        {QStringLiteral("debugnum 0 4294967295"), QStringLiteral("#DEBUG: 4294967295")},
    };
    // A burst of dials over a link on which every third frame from the shield has a bad CRC:
    // damaged events are offered again and must still reach the host once each. With the four
    // dials and keys above this stays below the dial-flood limit. Only the CRC is damaged: noise
    // on the start byte may restart the link, which loses the shield's events by design (the
    // fault tests count that case).
    QList<EventCase> burst;
    for (int n = 1001; n <= 1020; ++n)
        burst << EventCase{QStringLiteral("dial 0 %1").arg(n), QStringLiteral("dial %1").arg(n)};
    burst << EventCase{QStringLiteral("hangup 0"), QStringLiteral("drop")};

    struct Round {
        const char *name;
        QString simSetting;
        QList<EventCase> events;
    };
    const Round rounds[] = {{"every kind", QString(), everyKind},
                            {"damaging link", QStringLiteral("corrupt 0 3 crc"), burst}};
    quint32 marker = 11111;
    for (const Round &round : rounds) {
        SCOPED_TRACE(round.name);
        if (!round.simSetting.isEmpty())
            pair.sim().writeLine(round.simSetting);
        QStringList expected;
        for (const EventCase &e : round.events)
            expected << e.hostLine;
        const QString markerLine = QStringLiteral("#DEBUG: %1").arg(++marker);
        expected << markerLine;

        const int from = pair.driver().lineCount();
        const int simFrom = pair.sim().lineCount();
        raiseAll(pair, round.events, QStringLiteral("debugnum 0 %1").arg(marker));
        ASSERT_GE(pair.driver().waitForLine(markerLine, from), 0) << pair.describe();
        EXPECT_EQ(eventLines(pair.driver(), from), expected) << pair.describe();
        // The shield saw its last event acknowledged.
        EXPECT_GE(
            pair.sim().waitForLine(
                QStringLiteral("shield 0: event acknowledged: debug %1").arg(marker), simFrom),
            0)
            << pair.describe();
    }

    // A loop-back test is answered to the shield with its own value and tells the host nothing.
    const int from = pair.driver().lineCount();
    const int simFrom = pair.sim().lineCount();
    pair.sim().writeLine(QStringLiteral("loop 0 16909060"));
    EXPECT_TRUE(pair.waitExecuted(0, QStringLiteral("loop return 16909060"), simFrom))
        << pair.describe();
    raiseAll(pair, {}, QStringLiteral("debugnum 0 22222"));
    ASSERT_GE(pair.driver().waitForLine(QStringLiteral("#DEBUG: 22222"), from), 0)
        << pair.describe();
    EXPECT_EQ(eventLines(pair.driver(), from), QStringList{QStringLiteral("#DEBUG: 22222")});
    EXPECT_EQ(pair.driver().errBesidesOverruns(), QString()) << pair.describe();
}

TEST(E2eEvents, AddressGateAndShieldAddressesInMultiShieldLines)
{
    // Index 136 is a supported intercom: dial and key lines carry the address index. With
    // -multishield every line names its shield.
    E2ePair pair(
        {QStringLiteral("--shields"), QStringLiteral("0,2"), QStringLiteral("--multishield")},
        {QStringLiteral("-multishield"), QStringLiteral("-ic"), QStringLiteral("10"),
         QStringLiteral("-ic2"), QStringLiteral("136")});
    ASSERT_TRUE(pair.started()) << pair.describe();
    for (int s : {0, 2}) {
        ASSERT_GE(pair.driver().waitForLine(QStringLiteral("#Shield %1 update black list").arg(s)),
                  0)
            << pair.describe();
    }

    const QList<EventCase> events = {
        {QStringLiteral("dial 2 300 7"), QStringLiteral("2 dial 300 7")},
        {QStringLiteral("dial 0 300 7"), QStringLiteral("0 dial 300")},
        {QStringLiteral("key 2 1234 5"), QStringLiteral("2 keyopen 1234 5")},
        {QStringLiteral("key 0 1234 5"), QStringLiteral("0 keyopen 1234")},
        {QStringLiteral("pickup 2"), QStringLiteral("2 pickup")},
        {QStringLiteral("open 2"), QStringLiteral("2 open")},
        {QStringLiteral("hangup 2"), QStringLiteral("2 drop")},
        {QStringLiteral("phone 2 4"), QStringLiteral("2 phone pickup")},
        {QStringLiteral("error 2 0x102"), QStringLiteral("#ERROR 2: Hang loop call")},
        {QStringLiteral("debug 2 ABCD"), QStringLiteral("#DEBUG 2: ABCD")},
        {QStringLiteral("debugnum 2 1000"), QStringLiteral("#DEBUG 2: 1000")},
    };
    // One event at a time: two shields' events may otherwise reach the host in either order.
    const int start = pair.driver().lineCount();
    QStringList expected;
    for (const EventCase &e : events) {
        SCOPED_TRACE(e.simCommand.toStdString());
        const int from = pair.driver().lineCount();
        pair.sim().writeLine(e.simCommand);
        ASSERT_GE(pair.driver().waitForLine(e.hostLine, from), 0) << pair.describe();
        expected << e.hostLine;
    }
    // Nothing came twice, and no event showed under the other shield.
    pair.sim().writeLine(QStringLiteral("debugnum 0 44444"));
    expected << QStringLiteral("#DEBUG 0: 44444");
    ASSERT_GE(pair.driver().waitForLine(expected.last(), start), 0) << pair.describe();
    EXPECT_EQ(eventLines(pair.driver(), start), expected) << pair.describe();
}

namespace {

// The host's end of the driver's standard output: a FIFO whose pipe holds one page, read only
// while the test waits for a line on it. Meanwhile the test's event loop goes on serving the
// simulator's output and the audio sockets.
struct PausableHost {
    explicit PausableHost(const QString &path)
    {
        ::mkfifo(QFile::encodeName(path).constData(), 0600);
        fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        ::fcntl(fd, F_SETPIPE_SZ, 4096);
    }
    ~PausableHost() { ::close(fd); }
    bool waitFor(const QString &line)
    {
        return E2eProcess::waitUntil([&] {
            char buffer[4096];
            for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
                partial.append(buffer, static_cast<int>(n));
            for (int end; (end = partial.indexOf('\n')) >= 0; partial.remove(0, end + 1))
                lines << QString::fromUtf8(partial.left(end));
            return lines.contains(line);
        });
    }

    int fd = -1;
    QByteArray partial;
    QStringList lines;
};

}  // namespace

// A host that stops reading for some ten seconds while shields 1 and 2 raise events and shield 0
// is in a call. Its output backs up past the driver's bound (lowered to 1 kB here), the events
// wait in their shields, and still the simulator sees every shield served all along, the call's
// audio goes round both ways, the status socket answers and tells the backlog. The host's own
// commands for a shield that is not there go on making warnings: past four times the bound they
// are no longer kept, only counted. Afterwards every event line arrives once, in each shield's
// order, and standard error tells how many other lines were not kept.
TEST(E2eEvents, HostThatStopsReadingStallsNoShieldAndLosesNoLine)
{
    QTemporaryDir dir;
    const QString out = dir.filePath("stdout");
    PausableHost host(out);
    const QString status = dir.filePath("status.sock");
    const QString timing = dir.filePath("timing.log");
    // A link left where the log goes is replaced, not followed.
    const QString victim = dir.filePath("victim");
    ASSERT_TRUE(QFile::link(victim, timing));
    E2ePair pair(SHIELD_SIM_PATH, "/bin/sh",
                 {"--shields", "0,1,2", "--multishield", "--timing-log", timing},
                 {"-c", "export STM_HOST_QUEUE_BYTES=1024; exec \"$0\" \"$@\" > " + out,
                  STM_DRIVER_PATH, "-multishield", "-ic", "10", "-status", status},
                 true);
    ASSERT_TRUE(pair.started()) << pair.describe();
    for (int s = 0; s < 3; ++s)
        ASSERT_TRUE(host.waitFor(QStringLiteral("#Shield %1 update black list").arg(s)))
            << pair.describe() << host.lines.join(QLatin1Char('\n')).toStdString();

    AudioHost audio(20002);
    ASSERT_TRUE(audio.listening);
    pair.sim().writeLine("loopback 0 on");
    pair.driver().writeLine("0 pickup");
    ASSERT_TRUE(pair.waitExecuted(0, "audio on")) << pair.describe();
    const char tag[4] = {'S', 'T', 'A', 'L'};
    quint32 sent = 0;
    QTimer pace;
    QObject::connect(&pace, &QTimer::timeout, [&] { audio.send(numberedBlock(tag, sent++)); });
    pace.start(16);

    const int events = 400;  // more than the shields can offer in the pause
    const qint64 pauseFrom = QDeadlineTimer::current().deadlineNSecs();  // the simulator's clock
    for (int n = 1; n <= events; ++n) {
        pair.sim().writeLine(QStringLiteral("debugnum 1 %1").arg(n));
        pair.sim().writeLine(QStringLiteral("debugnum 2 %1").arg(n));
    }
    // Once the pipe and the bound are full, new events stay in their shields.
    ASSERT_TRUE(E2eProcess::waitUntil([&] {
        return askStatus(status).value("host_output_queued").toInt() > 1024;
    })) << pair.describe();
    const int audioFrom = audio.got.size();
    const QString unserved = QStringLiteral("#WARNING: Address 3 not available for command");
    const int commands = 300;  // some 14 kB of warnings
    for (int n = 0; n < commands; ++n)
        pair.driver().writeLine("3 open 1");
    ASSERT_TRUE(E2eProcess::waitUntil([&] {
        return askStatus(status).value("host_lines_dropped").toInt() > 0;
    })) << pair.describe();
    E2eProcess::pump(3000);
    const QJsonObject doc = askStatus(status);
    EXPECT_GT(doc.value("host_output_queued").toInt(), 1024) << pair.describe();
    EXPECT_GE(doc.value("host_stalled_s").toInt(), 3);
    QProcess tool;
    tool.start(testProgram(STM_STATUS_PATH), {"-s", status});
    tool.waitForFinished(E2eProcess::timeoutMs);
    EXPECT_TRUE(tool.readAllStandardOutput().contains(" bytes not read yet, nothing read for "));
    const qint64 pauseTo = QDeadlineTimer::current().deadlineNSecs();
    QSet<quint32> roundTrips;  // host blocks back from the shield in the last three seconds
    for (const QByteArray &block : audio.got.mid(audioFrom)) {
        if (block.startsWith(QByteArray(tag, 4)))
            roundTrips << numberOf(block);
    }
    EXPECT_GE(roundTrips.size(), 30);

    // Each event once, in order, although most of them waited in their shields.
    for (int s = 1; s <= 2; ++s) {
        QStringList expected;
        for (int n = 1; n <= events; ++n)
            expected << QStringLiteral("#DEBUG %1: %2").arg(s).arg(n);
        ASSERT_TRUE(host.waitFor(expected.last())) << pair.describe();
        EXPECT_EQ(host.lines.filter(QStringLiteral("#DEBUG %1: ").arg(s)), expected);
    }
    const int dropped = askStatus(status).value("host_lines_dropped").toInt();
    EXPECT_EQ(host.lines.count(unserved) + dropped, commands);
    // A slow build's late cycles may cost the host's audio a block, told on its own line.
    QString err = pair.driver().errBesidesOverruns();
    err.remove(QRegularExpression(
        QStringLiteral("#WARNING: UDP audio on port \\d+: \\d+ packets dropped[^\n]*\n")));
    EXPECT_EQ(err,
              QStringLiteral("#WARNING: standard output was not read: %1 lines other than events "
                             "were not kept (the events waited in the shields)\n")
                  .arg(dropped))
        << pair.describe();

    // Every shield had its transfers all along (a cycle every 16 ms; gaps of seconds would mean a
    // bus that waited for the host).
    QFile log(timing);
    ASSERT_FALSE(QFileInfo(timing).isSymLink());
    ASSERT_FALSE(QFile::exists(victim));
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    std::array<qint64, 3> last{pauseFrom, pauseFrom, pauseFrom}, longestGap{};
    std::array<int, 3> transfers{};
    for (const QByteArray &line : log.readAll().split('\n')) {
        const QList<QByteArray> f = line.split(' ');
        const qint64 at = f.value(1).toLongLong();
        const int s = f.value(2).toInt();
        if (f.value(0) == "T" && s >= 0 && s < 3 && at >= pauseFrom && at <= pauseTo) {
            longestGap[s] = std::max(longestGap[s], at - std::exchange(last[s], at));
            ++transfers[s];
        }
    }
    for (int s = 0; s < 3; ++s) {
        EXPECT_LT(std::max(longestGap[s], pauseTo - last[s]), qint64(2e9)) << s;
        EXPECT_GT(transfers[s], 150) << s;  // of some 625
    }
}

// Standard output on /dev/full: the driver says why once, the status document says it too, and
// the shield's events wait in the shield instead of being taken for lines nobody gets.
TEST(E2eEvents, AnOutputThatFailsHoldsTheEventsAndIsToldOnce)
{
    QTemporaryDir dir;
    const QString status = dir.filePath("status.sock");
    E2ePair pair(
        SHIELD_SIM_PATH, "/bin/sh", singleSim,
        {"-c", "exec \"$0\" \"$@\" > /dev/full", STM_DRIVER_PATH, "-ic", "10", "-status", status},
        false);
    ASSERT_TRUE(pair.started()) << pair.describe();
    ASSERT_TRUE(E2eProcess::waitUntil([&] {
        return statusShield(askStatus(status), 0).value("state").toString() == "online";
    })) << pair.describe();

    for (int n = 1; n <= 50; ++n)
        pair.sim().writeLine(QStringLiteral("debugnum 0 %1").arg(n));
    E2eProcess::pump(2000);
    EXPECT_EQ(pair.sim().lines().filter("event acknowledged").size(), 0) << pair.describe();
    const QString reason = QString::fromLocal8Bit(std::strerror(ENOSPC));
    const QJsonObject doc = askStatus(status);
    EXPECT_EQ(doc.value("host_output_error").toString(), reason);
    EXPECT_GT(doc.value("host_output_queued").toInt(), 0);
    EXPECT_EQ(pair.driver().errBesidesOverruns(),
              "#WARNING: standard output cannot be written (" + reason +
                  "): its lines are kept, and the shields keep their events until it can\n")
        << pair.describe();
    EXPECT_TRUE(pair.driver().running());
}

// SIGTERM while lines wait for a host that paused: the host reads them all, each event the shields
// had acknowledged, before the driver ends by the signal. With a host that never reads again the
// driver still ends.
TEST(E2eEvents, AStopWritesTheQueuedLinesFirstAndEndsByTheSignal)
{
    for (const bool hostReads : {true, false}) {
        SCOPED_TRACE(hostReads ? "the host reads" : "the host never reads");
        QTemporaryDir dir;
        const QString out = dir.filePath("stdout");
        PausableHost host(out);
        E2ePair pair(
            SHIELD_SIM_PATH, "/bin/sh", {"--shields", "0,1,2", "--multishield"},
            {"-c", "exec \"$0\" \"$@\" > " + out, STM_DRIVER_PATH, "-multishield", "-ic", "10"},
            false);
        ASSERT_TRUE(pair.started()) << pair.describe();
        for (int s = 0; s < 3; ++s)
            ASSERT_TRUE(host.waitFor(QStringLiteral("#Shield %1 update black list").arg(s)))
                << pair.describe();

        // Some 8 kB of lines behind a pipe that holds one page: half of them wait in the driver.
        const int events = 200;
        for (int n = 1; n <= events; ++n) {
            for (int s = 0; s < 3; ++s)
                pair.sim().writeLine(QStringLiteral("debugnum %1 %2").arg(s).arg(n));
        }
        ASSERT_TRUE(E2eProcess::waitUntil([&] {
            return pair.sim().lines().filter("event acknowledged").size() == 3 * events;
        })) << pair.describe();
        ::kill(static_cast<pid_t>(pair.driver().pid()), SIGTERM);
        if (hostReads) {
            for (int s = 0; s < 3; ++s) {
                QStringList expected;
                for (int n = 1; n <= events; ++n)
                    expected << QStringLiteral("#DEBUG %1: %2").arg(s).arg(n);
                ASSERT_TRUE(host.waitFor(expected.last())) << pair.describe();
                EXPECT_EQ(host.lines.filter(QStringLiteral("#DEBUG %1: ").arg(s)), expected);
            }
        }
        ASSERT_TRUE(pair.driver().waitForFinished()) << pair.describe();
        EXPECT_EQ(pair.driver().exitStatus(), QProcess::CrashExit) << "ended by the signal";
    }
}
