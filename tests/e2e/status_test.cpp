// The status socket of the real driver against shield-sim: after a scripted session (three
// shields brought up, events, host commands, a call with audio both ways, a damaging link on
// one shield, one shield lost and back) every counter of the document equals what the simulator
// did or what the driver told the host; clients that never read or send rubbish change nothing
// for the host; clients that never ask lock a technician out for no longer than the idle time;
// and stm-status --capture never writes into an existing file, replacing it only when told to.
// The driver's UDP ports are fixed, so the pairs here hold the machine-wide audio-port lock.

#include "support/e2eprocess.h"

#include "sim/shieldmodel.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// One shield in single mode, its driver's status socket in a folder of the test's own.
struct OneShieldWithStatus {
    explicit OneShieldWithStatus(const QStringList &simExtra = {})
        : path(dir.filePath(QStringLiteral("status.sock"))),
          pair(QStringList{QStringLiteral("--shields"), QStringLiteral("0"),
                           QStringLiteral("--single")} +
                   simExtra,
               {QStringLiteral("-ic"), QStringLiteral("10"), QStringLiteral("-status"), path})
    {}
    // Started, and the shield in service (its lists pushed).
    bool inService()
    {
        return pair.started() &&
               pair.driver().waitForLine(QStringLiteral("#Shield update black list")) >= 0;
    }

    QTemporaryDir dir;
    const QString path;
    E2ePair pair;
};

const QStringList threeShields = {QStringLiteral("--shields"), QStringLiteral("0,1,2"),
                                  QStringLiteral("--multishield"), QStringLiteral("--verbose")};

qint64 field(const QJsonObject &document, int shield, const char *name)
{
    return statusShield(document, shield).value(QLatin1String(name)).toVariant().toLongLong();
}

// What the simulator printed for `shield` that starts with `what` (with --verbose it prints
// every command it executes and every event acknowledgement).
int simCount(E2ePair &pair, int shield, const QString &what)
{
    const QString prefix = QStringLiteral("shield %1: ").arg(shield) + what;
    int n = 0;
    for (const QString &line : pair.sim().lines())
        n += line.startsWith(prefix) ? 1 : 0;
    return n;
}

// Commands the shield executed, apart from the first pings, which the driver sends without
// waiting for an acknowledgement.
int simCommands(E2ePair &pair, int shield)
{
    return simCount(pair, shield, QStringLiteral("executed ")) -
           simCount(pair, shield, QStringLiteral("executed ping 1"));
}

// The sum of the numbers in the driver's "S WARNING: SPI: TX errors: N" lines (or RX).
qint64 reportedErrors(E2ePair &pair, int shield, const QString &kind)
{
    const QString prefix =
        QStringLiteral("%1 WARNING: SPI: ").arg(shield) + kind + QStringLiteral(" errors: ");
    qint64 sum = 0;
    for (const QString &line : pair.driver().lines()) {
        if (line.startsWith(prefix))
            sum += line.mid(prefix.size()).toLongLong();
    }
    return sum;
}

// The sum of the counts of the driver's "#WARNING: UDP audio on port P: N packets dropped".
qint64 reportedDrops(E2ePair &pair)
{
    static const QRegularExpression drop(QStringLiteral(": (\\d+) packets dropped"));
    qint64 sum = 0;
    auto it = drop.globalMatch(pair.driver().err());
    while (it.hasNext())
        sum += it.next().captured(1).toLongLong();
    return sum;
}

}  // namespace

TEST(E2eStatus, EveryCounterEqualsWhatTheSimulatorDidOrTheHostWasTold)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("status.sock"));
    E2ePair pair(threeShields,
                 {QStringLiteral("-multishield"), QStringLiteral("-ic"), QStringLiteral("10"),
                  QStringLiteral("-status"), path},
                 true);
    ASSERT_TRUE(pair.started()) << pair.describe();
    for (int s = 0; s < 3; ++s) {
        ASSERT_GE(pair.driver().waitForLine(QStringLiteral("#Shield %1 update black list").arg(s)),
                  0)
            << pair.describe();
    }
    QJsonObject doc = askStatus(path);
    EXPECT_EQ(doc.value(QStringLiteral("mode")).toString(), QStringLiteral("multi"));
    ASSERT_EQ(doc.value(QStringLiteral("shields")).toArray().size(), 6);
    const ShieldModel::Identity identity;
    for (int s = 0; s < 3; ++s) {
        SCOPED_TRACE(s);
        EXPECT_EQ(statusShield(doc, s).value(QStringLiteral("state")).toString(),
                  QStringLiteral("online"));
        EXPECT_EQ(field(doc, s, "firmware"), identity.firmware);
        EXPECT_EQ(field(doc, s, "shield"), identity.shield);
        EXPECT_EQ(field(doc, s, "revision"), identity.revision);
        // Every simulated shield of a set has its own ID: the first word plus its address.
        EXPECT_EQ(statusShield(doc, s).value(QStringLiteral("id")).toString(),
                  QStringLiteral("%1%2%3")
                      .arg(identity.id0 + static_cast<quint32>(s), 8, 16, QLatin1Char('0'))
                      .arg(identity.id1, 8, 16, QLatin1Char('0'))
                      .arg(identity.id2, 8, 16, QLatin1Char('0')));
    }
    EXPECT_EQ(statusShield(doc, 3).value(QStringLiteral("state")).toString(),
              QStringLiteral("offline"));

    // Noise on shield 0 from here to the end of the commands.
    pair.sim().writeLine(QStringLiteral("corrupt 0 4"));

    // 20 events, taking turns on the three shields, each waited for at the simulator.
    for (int i = 0; i < 20; ++i) {
        const int s = i % 3;
        const int acked = simCount(pair, s, QStringLiteral("event acknowledged"));
        pair.sim().writeLine(i % 2 ? QStringLiteral("open %1").arg(s)
                                   : QStringLiteral("debugnum %1 %2").arg(s).arg(i));
        ASSERT_TRUE(E2eProcess::waitUntil([&] {
            return simCount(pair, s, QStringLiteral("event acknowledged")) > acked;
        })) << pair.describe();
    }
    // 10 host commands.
    for (int i = 0; i < 10; ++i) {
        const int s = i % 3;
        const int from = pair.sim().lineCount();
        pair.driver().writeLine(QStringLiteral("%1 open %2").arg(s).arg(i % 8));
        ASSERT_TRUE(pair.waitExecuted(s, QStringLiteral("open door %1").arg(i % 8), from))
            << pair.describe();
    }
    // Where the damage falls depends on how the frames line up with the commands: more
    // commands to the noisy shield until one of them needed a repeat.
    const auto repeats = [&] {
        const QJsonObject now = askStatus(path);
        return field(now, 0, "tx_errors") + field(now, 0, "rx_errors");
    };
    for (int i = 0; i < 200 && repeats() == 0; ++i) {
        const int from = pair.sim().lineCount();
        pair.driver().writeLine(QStringLiteral("0 open %1").arg(i % 8));
        ASSERT_TRUE(pair.waitExecuted(0, QStringLiteral("open door %1").arg(i % 8), from))
            << pair.describe();
    }
    pair.sim().writeLine(QStringLiteral("corrupt 0 0"));

    // A call on shield 1 with audio both ways.
    AudioHost host(20004);
    ASSERT_TRUE(host.listening) << "port 20004 is taken";
    pair.sim().writeLine(QStringLiteral("loopback 1 on"));
    int from = pair.sim().lineCount();
    pair.driver().writeLine(QStringLiteral("1 pickup"));
    ASSERT_TRUE(pair.waitExecuted(1, QStringLiteral("audio on"), from)) << pair.describe();
    ASSERT_TRUE(E2eProcess::waitUntil([&] { return host.driverListens(); })) << pair.describe();
    EXPECT_TRUE(statusShield(askStatus(path), 1).value(QStringLiteral("audio")).toBool());
    const char tag[4] = {'S', 'T', 'A', 'T'};
    const int sent = 50;
    for (int n = 0; n < sent; ++n) {
        host.send(numberedBlock(tag, static_cast<quint32>(n)));
        E2eProcess::pump(20);
    }
    E2eProcess::pump(1000);  // the queue drains into the shield
    from = pair.sim().lineCount();
    pair.driver().writeLine(QStringLiteral("1 drop"));
    ASSERT_TRUE(pair.waitExecuted(1, QStringLiteral("audio off"), from)) << pair.describe();
    EXPECT_TRUE(E2eProcess::waitUntil([&] {
        return !statusShield(askStatus(path), 1).value(QStringLiteral("audio")).toBool(true);
    })) << pair.describe();
    E2eProcess::pump(500);  // datagrams already on their way

    // Shield 2 falls silent until the driver gives it up, then comes back.
    from = pair.driver().lineCount();
    pair.sim().writeLine(QStringLiteral("mute 2"));
    ASSERT_GE(pair.driver().waitForLine(QStringLiteral("2 shield_disconect"), from, 60000), 0)
        << pair.describe();
    doc = askStatus(path);
    EXPECT_NE(statusShield(doc, 2).value(QStringLiteral("state")).toString(),
              QStringLiteral("online"));
    pair.sim().writeLine(QStringLiteral("unmute 2"));
    ASSERT_GE(pair.driver().waitForLine(QStringLiteral("#Shield 2 update black list"), from), 0)
        << pair.describe();

    // The second pings keep commands going while a shield is online, and the error reports come
    // every few seconds: wait for a moment where all agree, which comes within a report period.
    const auto agree = [&](int s) {
        doc = askStatus(path);
        const qint64 commands = field(doc, s, "commands");
        const qint64 executed = simCommands(pair, s);
        // Shield 2 may have executed a command just as it fell silent, whose reply the driver
        // never saw: that one it counts, the driver cannot.
        const bool commandsAgree = commands == executed || (s == 2 && commands + 1 == executed);
        return commandsAgree &&
               field(doc, s, "events") == simCount(pair, s, QStringLiteral("event acknowledged")) &&
               field(doc, s, "tx_errors") == reportedErrors(pair, s, QStringLiteral("TX")) &&
               field(doc, s, "rx_errors") == reportedErrors(pair, s, QStringLiteral("RX"));
    };
    for (int s = 0; s < 3; ++s) {
        SCOPED_TRACE(s);
        EXPECT_TRUE(E2eProcess::waitUntil([&] { return agree(s); }))
            << "commands " << field(doc, s, "commands") << " executed " << simCommands(pair, s)
            << ", events " << field(doc, s, "events") << " acknowledged "
            << simCount(pair, s, QStringLiteral("event acknowledged")) << ", tx "
            << field(doc, s, "tx_errors") << " reported " << reportedErrors(pair, s, "TX")
            << ", rx " << field(doc, s, "rx_errors") << " reported "
            << reportedErrors(pair, s, "RX") << "\n"
            << pair.describe();
        EXPECT_EQ(field(doc, s, "disconnects"), s == 2 ? 1 : 0);
        // Every reply and every event offer is a frame; only the noisy shield 0 has bad ones.
        EXPECT_GE(field(doc, s, "frames"), field(doc, s, "commands") + field(doc, s, "events") +
                                               field(doc, s, "rx_errors") +
                                               field(doc, s, "bad_frames"));
        EXPECT_EQ(field(doc, s, "bad_frames") > 0, s == 0);
        EXPECT_LE(field(doc, s, "frames"), field(doc, s, "exchanges"));
        EXPECT_LE(field(doc, s, "exchanges_last_min"), field(doc, s, "exchanges"));
        EXPECT_LE(field(doc, s, "frames_last_min"), field(doc, s, "frames"));
        EXPECT_LE(field(doc, s, "bad_frames_last_min"), field(doc, s, "bad_frames"));
        EXPECT_EQ(statusShield(doc, s).value(QStringLiteral("state")).toString(),
                  QStringLiteral("online"));
        if (s != 1) {
            EXPECT_EQ(field(doc, s, "audio_blocks_in"), 0);
            EXPECT_EQ(field(doc, s, "audio_blocks_out"), 0);
        }
    }
    // Every fourth frame damaged each way cannot leave the link of shield 0 without a repeat.
    EXPECT_GT(field(doc, 0, "tx_errors") + field(doc, 0, "rx_errors"), 0);
    // The silent shield 2 was given up after its unanswered repeats.
    EXPECT_GT(field(doc, 2, "tx_errors"), 0);

    // Audio: every host block reached the driver, every block to the host is a datagram here
    // (the host reads them all on the loop-back interface); drops, if a busy machine made any,
    // are the ones the driver reported.
    EXPECT_EQ(field(doc, 1, "audio_blocks_in"), sent);
    EXPECT_EQ(field(doc, 1, "audio_blocks_out"), host.got.size());
    EXPECT_GT(host.got.size(), sent);
    EXPECT_TRUE(E2eProcess::waitUntil([&] {
        return field(askStatus(path), 1, "audio_dropped") == reportedDrops(pair);
    })) << pair.describe();

    EXPECT_EQ(doc.value(QStringLiteral("restarts")).toInt(-1),
              pair.driver().err().count(QStringLiteral("#Restart ALL Shields")));
}

TEST(E2eStatus, ClientsThatNeverReadOrSendRubbishChangeNothingForTheHost)
{
    OneShieldWithStatus one({QStringLiteral("--verbose")});
    ASSERT_TRUE(one.inService()) << one.pair.describe();
    const QString &path = one.path;
    E2ePair &pair = one.pair;

    // Silent watchers, and one more that sends rubbish; one place is left for a client that
    // reads.
    std::vector<int> silent;
    for (int i = 0; i < 6; ++i) {
        const int fd = connectSilentWatcher(path);
        ASSERT_GE(fd, 0);
        silent.push_back(fd);
    }
    QByteArray rubbish(300000, '\0');
    for (int i = 0; i < rubbish.size(); ++i)
        rubbish[i] = static_cast<char>((i * 131) & 0xFF);
    const int noisy = connectSilentWatcher(path);
    ASSERT_GE(noisy, 0);
    ASSERT_GT(::write(noisy, rubbish.constData(), static_cast<size_t>(rubbish.size())), 0);

    // The host's traffic goes on as before: events reach it once each, commands the shield.
    const int from = pair.driver().lineCount();
    for (int i = 0; i < 10; ++i) {
        pair.sim().writeLine(QStringLiteral("debugnum 0 %1").arg(1000 + i));
        const int simFrom = pair.sim().lineCount();
        pair.driver().writeLine(QStringLiteral("open %1").arg(i % 8));
        ASSERT_TRUE(pair.waitExecuted(0, QStringLiteral("open door %1").arg(i % 8), simFrom))
            << pair.describe();
    }
    EXPECT_TRUE(E2eProcess::waitUntil([&] {
        int n = 0;
        for (const QString &line : pair.driver().lines().mid(from))
            n += line.contains(QRegularExpression(QStringLiteral("\\b10\\d\\d$"))) ? 1 : 0;
        return n == 10;
    })) << pair.describe();
    const QStringList hostLines = withoutLinkWarnings(pair.driver().lines().mid(from));
    for (const QString &line : hostLines)
        EXPECT_TRUE(line.contains(QRegularExpression(QStringLiteral("\\b10\\d\\d$"))))
            << line.toStdString();
    EXPECT_EQ(hostLines.size(), 10) << pair.describe();

    // stm-status shows the shield, and says so when no driver answers.
    QProcess tool;
    tool.start(testProgram(QStringLiteral(STM_STATUS_PATH)), {QStringLiteral("-s"), path});
    ASSERT_TRUE(tool.waitForFinished(E2eProcess::timeoutMs));
    EXPECT_EQ(tool.exitCode(), 0);
    const QStringList rows = QString::fromUtf8(tool.readAllStandardOutput()).split('\n');
    ASSERT_GE(rows.size(), 4) << rows.join('\n').toStdString();
    EXPECT_TRUE(rows.at(0).startsWith(QStringLiteral("stm-driver 2.18, single")));
    EXPECT_TRUE(rows.at(1).startsWith(QStringLiteral("transfer cycle: normal priority, ")));
    EXPECT_EQ(rows.at(3).simplified().section(' ', 0, 2), QStringLiteral("0 online 23"));
    // --json --watch: a document a second, one per line.
    tool.start(testProgram(QStringLiteral(STM_STATUS_PATH)),
               {QStringLiteral("-s"), path, QStringLiteral("--json"), QStringLiteral("--watch")});
    for (int n = 0; n < 2; ++n) {
        while (!tool.canReadLine())
            ASSERT_TRUE(tool.waitForReadyRead(E2eProcess::timeoutMs));
        EXPECT_TRUE(QJsonDocument::fromJson(tool.readLine()).isObject());
    }
    tool.kill();
    tool.waitForFinished(E2eProcess::timeoutMs);
    tool.start(testProgram(QStringLiteral(STM_STATUS_PATH)),
               {QStringLiteral("-s"), path + QStringLiteral("x")});
    ASSERT_TRUE(tool.waitForFinished(E2eProcess::timeoutMs));
    EXPECT_EQ(tool.exitCode(), 1);
    EXPECT_TRUE(tool.readAllStandardError().startsWith("stm-status: no driver answers on "));

    // The driver still answers a client that reads, and said nothing on standard error.
    EXPECT_EQ(statusShield(askStatus(path), 0).value(QStringLiteral("state")).toString(),
              QStringLiteral("online"));
    EXPECT_TRUE(E2eProcess::waitUntil(
        [&] { return field(askStatus(path), 0, "commands") == simCommands(pair, 0); }));
    EXPECT_EQ(pair.driver().errBesidesOverruns(), QString()) << pair.describe();
    for (int fd : silent)
        ::close(fd);
    ::close(noisy);
}

// A client is dropped by the answer that finds 64 KiB of its output unread, whichever request
// that is; here every kind gets its turn. Client k pipelines the first k requests of one mixed
// run and then "capture", in one write, and never reads; three such clients at a time (the
// driver may see a batch's ends only after the next batch: with the status request, seven of its
// eight places), k from 1 to 210, so that for some k the drop falls on each kind of answer,
// "capture" among them. Run under AddressSanitizer (STM_SANITIZE=address) this finds any use of
// a dropped client.
TEST(E2eStatus, ClientsPipeliningEveryRequestWithoutReadingLeaveTheDriverWhole)
{
    OneShieldWithStatus one;
    ASSERT_TRUE(one.inService()) << one.pair.describe();
    const QString &path = one.path;
    E2ePair &pair = one.pair;

    const auto request = [](int j) -> QByteArray {
        if (j % 7 == 3)
            return "watch";
        if (j % 11 == 5)
            return "nonsense";
        if (j % 13 == 6)
            return "capture 9";
        return "status";
    };
    QByteArray run;
    for (int k = 1; k <= 210;) {
        std::vector<int> batch;
        for (int i = 0; i < 3 && k <= 210; ++i, ++k) {
            run.clear();
            for (int j = 1; j <= k; ++j)
                run += request(j) + '\n';
            const int fd = connectSilentWatcher(path, run + "capture\nstatus");
            ASSERT_GE(fd, 0) << k;
            batch.push_back(fd);
        }
        E2eProcess::pump(30);
        ASSERT_FALSE(askStatus(path).value(QStringLiteral("shields")).toArray().isEmpty())
            << "before client " << k << "\n"
            << pair.describe();
        for (int fd : batch)
            ::close(fd);
    }

    // The link and the host's traffic went on.
    const int from = pair.driver().lineCount();
    pair.sim().writeLine(QStringLiteral("debugnum 0 4242"));
    const int simFrom = pair.sim().lineCount();
    pair.driver().writeLine(QStringLiteral("open 3"));
    EXPECT_TRUE(pair.waitExecuted(0, QStringLiteral("open door 3"), simFrom)) << pair.describe();
    EXPECT_GE(pair.driver().waitForLine(QStringLiteral("#DEBUG: 4242"), from), 0)
        << pair.describe();
    EXPECT_EQ(statusShield(askStatus(path), 0).value(QStringLiteral("state")).toString(),
              QStringLiteral("online"));
    EXPECT_TRUE(pair.driver().running());
    EXPECT_EQ(pair.driver().errBesidesOverruns(), QString()) << pair.describe();
}

TEST(E2eStatus, EightSilentClientsLockATechnicianOutForNoLongerThanTheIdleTime)
{
    const int idleMs = 3000;
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("status.sock"));
    qputenv("STM_STATUS_IDLE_MS", QByteArray::number(idleMs));
    E2ePair pair({QStringLiteral("--shields"), QStringLiteral("0"), QStringLiteral("--single")},
                 {QStringLiteral("-ic"), QStringLiteral("10"), QStringLiteral("-status"), path});
    qunsetenv("STM_STATUS_IDLE_MS");
    ASSERT_TRUE(pair.started()) << pair.describe();
    ASSERT_GE(pair.driver().waitForLine(QStringLiteral("#Shield update black list")), 0)
        << pair.describe();

    // Eight clients that connect and say nothing take every place.
    std::vector<int> silent;
    for (int i = 0; i < 8; ++i) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const QByteArray name = QFile::encodeName(path);
        std::memcpy(address.sun_path, name.constData(), static_cast<size_t>(name.size()));
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
        const timeval wait = {E2eProcess::timeoutMs / 1000, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        silent.push_back(fd);
    }
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(askStatus(path).value(QStringLiteral("error")).toString(),
              QStringLiteral("too many clients"));

    // The driver closes them once the idle time has passed, telling them why; then stm-status is
    // answered.
    std::vector<pollfd> waiting;
    for (int fd : silent)
        waiting.push_back({fd, POLLIN, 0});
    qint64 toldAt = -1;
    while (toldAt < 0 && clock.elapsed() < E2eProcess::timeoutMs) {
        E2eProcess::pump(10);
        if (::poll(waiting.data(), waiting.size(), 0) == static_cast<int>(waiting.size()))
            toldAt = clock.elapsed();
    }
    EXPECT_GE(toldAt, idleMs / 2) << pair.describe();
    EXPECT_LE(toldAt, idleMs + 1000);
    for (int fd : silent) {
        char text[256] = {};
        EXPECT_GT(::read(fd, text, sizeof text - 1), 0);
        EXPECT_TRUE(QByteArray(text).contains("no request for 3 s")) << text;
        EXPECT_EQ(::read(fd, text, sizeof text), 0);
        ::close(fd);
    }
    QProcess tool;
    tool.start(QStringLiteral(STM_STATUS_PATH), {QStringLiteral("-s"), path});
    ASSERT_TRUE(tool.waitForFinished(E2eProcess::timeoutMs));
    EXPECT_EQ(tool.exitCode(), 0) << tool.readAllStandardError().toStdString();
    EXPECT_TRUE(
        QString::fromUtf8(tool.readAllStandardOutput()).contains(QStringLiteral(" online ")));
    EXPECT_EQ(pair.driver().errBesidesOverruns(), QString()) << pair.describe();
}

TEST(E2eStatus, ACaptureMakesANewFileAndReplacesAnExistingOneOnlyWithForce)
{
    OneShieldWithStatus one;
    ASSERT_TRUE(one.inService()) << one.pair.describe();
    const QString &path = one.path;
    QTemporaryDir &dir = one.dir;
    const auto capture = [&](const QString &file, const QStringList &more) {
        QProcess tool;
        tool.start(testProgram(QStringLiteral(STM_STATUS_PATH)),
                   QStringList{QStringLiteral("-s"), path, QStringLiteral("--capture"), file,
                               QStringLiteral("--count"), QStringLiteral("3")} +
                       more);
        EXPECT_TRUE(tool.waitForFinished(E2eProcess::timeoutMs));
        return std::make_pair(tool.exitCode(), QString::fromUtf8(tool.readAllStandardError()));
    };
    const auto contents = [](const QString &file) {
        QFile f(file);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    };
    const auto mode = [](const QString &file) {
        struct stat st = {};
        return ::stat(QFile::encodeName(file).constData(), &st) == 0 ? st.st_mode & 07777 : 0u;
    };

    // An earlier file of another mode, with a second name: a replacement must leave it whole.
    const QString file = dir.filePath(QStringLiteral("line.pcap"));
    const QString earlier = dir.filePath(QStringLiteral("earlier.pcap"));
    {
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly) && f.write("earlier capture") == 15);
    }
    ASSERT_EQ(::chmod(QFile::encodeName(file).constData(), 0644), 0);
    ASSERT_EQ(::link(QFile::encodeName(file).constData(), QFile::encodeName(earlier).constData()),
              0);
    const auto refused = capture(file, {});
    EXPECT_EQ(refused.first, 1);
    EXPECT_EQ(refused.second,
              QStringLiteral("stm-status: ") + file +
                  QStringLiteral(" exists: give a new file, or --force to replace it\n"));
    EXPECT_EQ(contents(file), QByteArray("earlier capture"));

    const QByteArray pcapMagic("\xd4\xc3\xb2\xa1", 4);
    EXPECT_EQ(capture(file, {QStringLiteral("--force")}).first, 0);
    EXPECT_TRUE(contents(file).startsWith(pcapMagic));
    EXPECT_EQ(mode(file), 0600u);
    EXPECT_EQ(contents(earlier), QByteArray("earlier capture"));
    EXPECT_EQ(mode(earlier), 0644u);

    const QString fresh = dir.filePath(QStringLiteral("fresh.pcap"));
    EXPECT_EQ(capture(fresh, {}).first, 0);
    EXPECT_TRUE(contents(fresh).startsWith(pcapMagic));
    EXPECT_EQ(mode(fresh), 0600u);
    EXPECT_EQ(QDir(dir.path()).entryList({QStringLiteral("*.pcap.*")}, QDir::Files), QStringList());
}
