// The status socket in-process: the document shows the shield records and link counters as they
// are, bad and endless requests get an error and leave the connection usable, the ninth client
// is turned away, a client that never reads is dropped, and the socket file is taken over only
// from a driver that died, nothing else at its path is touched, the socket has its mode from
// the start, and a client that asks nothing is closed after the idle time. Capture clients get
// the records of their shield; one that reads too slowly loses records, which its stream and
// the document count, while the others lose nothing.

#include "status/statusserver.h"
#include "base/capturewire.h"
#include "config/settings.h"
#include "link/busbudget.h"
#include "link/capturering.h"
#include "link/linkrecords.h"
#include "link/spiconnector.h"
#include "status/minutewindow.h"
#include "support/consolecapture.h"
#include "support/e2eprocess.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QtEndian>

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// Runs this thread's event loop for `ms` milliseconds.
void pump(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// Runs the event loop until cond() holds or `timeoutMs` passes; returns cond().
template <typename Cond>
bool waitUntil(Cond cond, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!cond()) {
        if (clock.elapsed() >= timeoutMs)
            return false;
        pump(10);
    }
    return true;
}

// A client of the server under test, served by this thread's event loop.
class Client
{
public:
    explicit Client(const QString &path)
    {
        QObject::connect(&socket, &QLocalSocket::readyRead, [this] { got += socket.readAll(); });
        socket.connectToServer(path);
    }
    void send(const QByteArray &bytes) { socket.write(bytes); }
    // Waits for the next whole line of the answer.
    QByteArray nextLine()
    {
        waitUntil([this] { return got.contains('\n'); }, 10000);
        const int end = got.indexOf('\n');
        if (end < 0)
            return QByteArray();
        const QByteArray line = got.left(end);
        got.remove(0, end + 1);
        return line;
    }
    QJsonObject next() { return QJsonDocument::fromJson(nextLine()).object(); }
    bool connected() const { return socket.state() == QLocalSocket::ConnectedState; }

    QLocalSocket socket;
    QByteArray got;
};

// A socket file that nobody answers on, as a driver that was killed leaves it.
void leaveSocketFile(const QString &path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray name = QFile::encodeName(path);
    std::memcpy(address.sun_path, name.constData(), static_cast<size_t>(name.size()));
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ::close(fd);
}

class StatusServerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        path = dir.filePath(QStringLiteral("status.sock"));
        ASSERT_EQ(settings.parse({QStringLiteral("stm-driver"), QStringLiteral("-multishield"),
                                  QStringLiteral("-ic"), QStringLiteral("136")}),
                  Settings::ParseResult::Run);
        server = std::make_unique<StatusServer>(&settings, links.records(), nullptr);
        ASSERT_TRUE(server->listen(path));
    }

    QTemporaryDir dir;
    QString path;
    Settings settings;
    LinkRecords links;
    std::unique_ptr<StatusServer> server;
};

}  // namespace

TEST_F(StatusServerTest, DocumentShowsRecordsAndCountersOfEveryServedShield)
{
    ShieldState &state = settings.shieldState[2];
    state.setState(ShieldState::STATE_ONLINE);
    state.setIntercom(119);  // as the shield reported it
    state.setFirmware(23);
    state.setId_0(0x00330021);
    state.setId_1(0x3436470d);
    state.setId_2(0x0935);
    links[2].counters.events = 20;
    links[2].counters.commands = 11;
    links[2].counters.tx_errors = 3;
    links[2].counters.rx_errors = 4;
    links[2].counters.disconnects = 1;
    links[2].counters.exchanges = 6000000000;
    links[2].counters.frames = 5000000000;  // past what 32 bits hold
    links[2].counters.bad_frames = 4300000000;
    links[2].counters.audio_blocks_in = 500;
    links[2].counters.audio_blocks_out = 600;
    links[2].counters.audio_dropped = 7;
    links[2].counters.audio_underruns = 5000000000;
    links[2].counters.audio_delay_ms = 32;
    links[2].set_long_packet(true);
    settings.shieldState[3].setState(ShieldState::STATE_INIT);
    settings.rtprio = 50;
    BusBudget bus(1562500, 16000);
    bus.cycle(6, 0);  // six calls at the usual clock
    server->setBusBudget(&bus);

    Client client(path);
    client.send("status\n");
    const QJsonObject doc = client.next();
    EXPECT_TRUE(doc.value(QStringLiteral("bus_full")).toBool());
    EXPECT_EQ(doc.value(QStringLiteral("version")).toString(), QStringLiteral("2.18"));
    EXPECT_EQ(doc.value(QStringLiteral("mode")).toString(), QStringLiteral("multi"));
    EXPECT_EQ(doc.value(QStringLiteral("restarts")).toInt(-1), 0);
    EXPECT_EQ(doc.value(QStringLiteral("rtprio")).toInt(-1), 50);
    EXPECT_EQ(doc.value(QStringLiteral("cycle_overruns")).toInt(-1), 0);
    EXPECT_GE(doc.value(QStringLiteral("uptime_s")).toInt(-1), 0);
    const QJsonArray shields = doc.value(QStringLiteral("shields")).toArray();
    ASSERT_EQ(shields.size(), 6);
    const QJsonObject two = shields.at(2).toObject();
    const std::pair<const char *, qint64> counts[] = {
        {"address", 2},
        {"events", 20},
        {"commands", 11},
        {"tx_errors", 3},
        {"rx_errors", 4},
        {"disconnects", 1},
        {"intercom", 119},
        {"audio_blocks_in", 500},
        {"audio_blocks_out", 600},
        {"audio_dropped", 7},
        {"audio_underruns", 5000000000},
        {"audio_delay_ms", 32},
        {"firmware", 23},
        {"exchanges", 6000000000},
        {"frames", 5000000000},
        {"bad_frames", 4300000000},
        // A driver younger than a minute: its whole run is the last minute.
        {"exchanges_last_min", 6000000000},
        {"frames_last_min", 5000000000},
        {"bad_frames_last_min", 4300000000},
    };
    for (const auto &c : counts)
        EXPECT_EQ(qint64(two.value(QLatin1String(c.first)).toDouble(-1)), c.second) << c.first;
    EXPECT_EQ(two.value(QStringLiteral("state")).toString(), QStringLiteral("online"));
    EXPECT_TRUE(two.value(QStringLiteral("audio")).toBool());
    EXPECT_EQ(two.value(QStringLiteral("id")).toString(),
              QStringLiteral("003300213436470d00000935"));
    EXPECT_EQ(shields.at(3).toObject().value(QStringLiteral("state")).toString(),
              QStringLiteral("init"));
    EXPECT_EQ(shields.at(0).toObject().value(QStringLiteral("state")).toString(),
              QStringLiteral("offline"));
    EXPECT_FALSE(shields.at(0).toObject().value(QStringLiteral("audio")).toBool(true));
}

TEST(MinuteWindow, GivesTheGainOverTheLastSixtySamplesOrTheWholeRunBeforeThat)
{
    MinuteWindow window;
    EXPECT_EQ(window.lastMinute(7), 7u);
    quint64 counter = 0;
    for (int second = 1; second <= 59; ++second)
        window.sample(counter += 10);
    EXPECT_EQ(window.lastMinute(counter + 3), counter + 3);  // not yet a minute old
    window.sample(counter += 10);                            // the 60th: now a minute of samples
    EXPECT_EQ(window.lastMinute(counter), 590u);             // 600 now, 10 a minute ago
    for (int second = 0; second < 120; ++second)
        window.sample(counter += second < 60 ? 1 : 0);  // slower, then nothing at all
    EXPECT_EQ(window.lastMinute(counter), 0u);
    window.sample(counter += 5);
    EXPECT_EQ(window.lastMinute(counter + 2), 7u);
}

TEST_F(StatusServerTest, BadRequestsGetAnErrorAndTheConnectionStaysUsable)
{
    Client client(path);
    const QByteArray endless(100000, 'x');
    const QByteArray requests[] = {
        QByteArray("stat\n"),
        QByteArray("\x00\xff\x1b[2J\x80\n", 8),
        QByteArray("\n"),
        endless + "\n",
    };
    for (const QByteArray &request : requests) {
        SCOPED_TRACE(request.left(20).toHex().toStdString());
        client.send(request);
        EXPECT_TRUE(client.next().contains(QStringLiteral("error")));
        client.send("status\n");
        EXPECT_EQ(client.next().value(QStringLiteral("version")).toString(),
                  QStringLiteral("2.18"));
    }
    // An endless request in pieces gets one answer, not one per piece.
    for (int i = 0; i < 20; ++i) {
        client.send(QByteArray(1000, 'y'));
        pump(5);
    }
    client.send("\nstatus\n");
    EXPECT_TRUE(client.next().contains(QStringLiteral("error")));
    EXPECT_TRUE(client.next().contains(QStringLiteral("version")));
    EXPECT_TRUE(client.connected());
}

TEST_F(StatusServerTest, TheNinthClientIsTurnedAwayAndWatchersGetADocumentEachInterval)
{
    server->setWatchInterval(20);
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < StatusServer::maxClients; ++i) {
        clients.push_back(std::make_unique<Client>(path));
        clients.back()->send("watch\n");
        EXPECT_TRUE(clients.back()->next().contains(QStringLiteral("shields")));
    }
    Client refused(path);
    EXPECT_EQ(refused.next().value(QStringLiteral("error")).toString(),
              QStringLiteral("too many clients"));
    for (auto &client : clients) {
        EXPECT_TRUE(client->next().contains(QStringLiteral("shields")));
        EXPECT_TRUE(client->next().contains(QStringLiteral("shields")));
    }
    // A place that comes free is taken again.
    clients.pop_back();
    EXPECT_TRUE(waitUntil([&] { return server->clientCount() < StatusServer::maxClients; }, 10000));
    Client late(path);
    late.send("status\n");
    EXPECT_TRUE(late.next().contains(QStringLiteral("shields")));
}

TEST_F(StatusServerTest, AClientThatNeverReadsIsDroppedAndOthersAreServed)
{
    server->setWatchInterval(1);
    // A plain socket that asks to watch and then reads nothing.
    const int fd = connectSilentWatcher(path);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(waitUntil([&] { return server->clientCount() == 1; }, 10000));

    EXPECT_TRUE(waitUntil([&] { return server->clientCount() == 0; }, 60000))
        << "a client that reads nothing is still served";
    Client other(path);
    other.send("status\n");
    EXPECT_TRUE(other.next().contains(QStringLiteral("shields")));
    ::close(fd);
}

namespace {

// The records of a capture stream after its answer line: how many of each shield, and the sum of
// the records-lost records' counts.
struct Captured {
    int records[6] = {};
    quint64 lost = 0;
};

Captured captured(const QByteArray &stream)
{
    Captured c;
    for (int at = stream.indexOf('\n') + 1;
         at > 0 && stream.size() - at >= CaptureWire::headerSize;) {
        const auto *header = reinterpret_cast<const quint8 *>(stream.constData() + at);
        const quint8 *data = header + CaptureWire::headerSize;
        if ((at += CaptureWire::headerSize + CaptureWire::lengthOf(header)) > stream.size())
            break;
        if (data[CaptureWire::directionByte] == CaptureWire::recordsLost)
            c.lost += qFromBigEndian<quint32>(data + CaptureWire::busBytesAt);
        else
            ++c.records[data[CaptureWire::shieldByte] % 6];
    }
    return c;
}

}  // namespace

TEST_F(StatusServerTest, ACaptureClientThatReadsTooSlowlyLosesRecordsCountedAndToldInItsStream)
{
    CaptureTap tap;  // this thread puts the exchanges in, as the transfer thread does
    server->setCapture(&tap);
    CaptureRing *ring = tap.open(64u << 20);  // never full here: only the slow client loses
    const int slow = connectSilentWatcher(path, "capture 3");
    ASSERT_GE(slow, 0);
    Client all(path);
    all.send("capture\n");
    ASSERT_TRUE(waitUntil([&] { return all.got.contains('\n'); }, 10000));
    EXPECT_TRUE(all.got.startsWith(R"({"capture":"started","link_type":147,"shield":"all"})"
                                   "\n"));
    const QByteArray packet(528, '\x5a');
    const auto *bytes = reinterpret_cast<const quint8 *>(packet.constData());
    int sent = 0;  // exchanges with shield 3 (and, until the slow client loses, with shield 1)
    const auto exchange = [&](quint8 shield) {
        ring->exchange(shield, bytes, bytes, packet.size());
        sent += shield == 3;
    };
    while (tap.dropped() == 0 && sent < 20000) {
        for (int i = 0; i < 20; ++i) {
            exchange(1);
            exchange(3);
        }
        pump(StatusServer::captureDrainMs + 5);
    }
    ASSERT_GT(tap.dropped(), 0u);

    // Read at last: the stream tells the losses before its next record, and holds its shield's.
    ::fcntl(slow, F_SETFL, O_NONBLOCK);
    QByteArray stream;
    const auto slowly = [&] {
        char buffer[65536];
        for (ssize_t n; (n = ::read(slow, buffer, sizeof buffer)) > 0;)
            stream.append(buffer, static_cast<int>(n));
        return captured(stream);
    };
    EXPECT_TRUE(waitUntil(
        [&] {
            const Captured c = slowly();
            if (c.lost == 0)
                exchange(3);
            return c.lost > 0 && c.records[3] + c.lost == 2u * sent;
        },
        30000));
    EXPECT_EQ(slowly().records[1], 0);
    EXPECT_EQ(slowly().lost, tap.dropped());
    EXPECT_TRUE(waitUntil([&] { return captured(all.got).records[3] == 2 * sent; }, 30000));
    EXPECT_EQ(captured(all.got).lost, 0u);
    Client asking(path);
    asking.send("status\n");
    EXPECT_EQ(asking.next().value(QStringLiteral("capture_dropped")).toDouble(),
              double(tap.dropped()));
    ::close(slow);
}

TEST_F(StatusServerTest, SocketFileIsTakenOverOnlyFromADriverThatDied)
{
    // Mode 0660: the owner and the group may ask, nobody else.
    const QFileDevice::Permissions mode = QFileInfo(path).permissions();
    EXPECT_TRUE(mode & QFileDevice::WriteGroup);
    EXPECT_FALSE(mode & (QFileDevice::ReadOther | QFileDevice::WriteOther));

    ConsoleCapture capture;
    // Another server answers here: one warning, no take-over.
    StatusServer second(&settings, links.records(), nullptr);
    EXPECT_FALSE(second.listen(path));
    ASSERT_EQ(capture.err().size(), 1);
    EXPECT_TRUE(capture.err().first().startsWith(QStringLiteral("#WARNING")))
        << capture.err().join(QLatin1Char('\n'));
    EXPECT_TRUE(capture.err().first().contains(path));
    Client client(path);
    client.send("status\n");
    EXPECT_TRUE(client.next().contains(QStringLiteral("shields")));

    // A socket file left behind is replaced without a word.
    capture.clear();
    const QString stale = dir.filePath(QStringLiteral("stale.sock"));
    leaveSocketFile(stale);
    StatusServer third(&settings, links.records(), nullptr);
    EXPECT_TRUE(third.listen(stale));
    Client thirdClient(stale);
    thirdClient.send("status\n");
    EXPECT_TRUE(thirdClient.next().contains(QStringLiteral("shields")));

    // A new folder is made; one that cannot be made is one warning.
    EXPECT_TRUE(StatusServer(&settings, links.records(), nullptr)
                    .listen(dir.filePath(QStringLiteral("run/stm-driver/status.sock"))));
    QFile plain(dir.filePath(QStringLiteral("plain")));
    ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
    plain.close();
    EXPECT_FALSE(StatusServer(&settings, links.records(), nullptr)
                     .listen(dir.filePath(QStringLiteral("plain/status.sock"))));
    EXPECT_FALSE(StatusServer(&settings, links.records(), nullptr)
                     .listen(dir.filePath(QStringLiteral("plain"))));
    EXPECT_EQ(capture.err().size(), 2) << capture.err().join(QLatin1Char('\n'));
}

TEST_F(StatusServerTest, OnlyASocketNobodyListensOnIsReplacedAndAnythingElseIsLeftWithAWarning)
{
    const auto at = [&](const char *name) { return dir.filePath(QLatin1String(name)); };
    leaveSocketFile(at("stale-target.sock"));
    QFile file(at("file"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write("mine") == 4);
    file.close();
    ASSERT_TRUE(file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    ASSERT_TRUE(QFile::link(at("stale-target.sock"), at("link-to-stale.sock")));
    ASSERT_TRUE(QFile::link(path, at("link-to-live.sock")));
    ASSERT_TRUE(QFile::link(at("file"), at("link-to-file.sock")));
    // A live listener whose backlog is full: a connection is neither taken nor refused.
    const int busy = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray busyName = QFile::encodeName(at("busy.sock"));
    std::memcpy(address.sun_path, busyName.constData(), static_cast<size_t>(busyName.size()));
    ASSERT_EQ(::bind(busy, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(busy, 0), 0);
    std::vector<int> queued;
    for (int i = 0; i < 100; ++i) {
        queued.push_back(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0));
        if (::connect(queued.back(), reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
            break;
    }

    struct Row {
        const char *name;
        bool taken;
        const char *why;  // in the warning
    } rows[] = {
        {"stale.sock", true, nullptr},
        {"status.sock", false, "another driver answers"},
        {"busy.sock", false, "cannot tell whether a driver answers"},
        {"file", false, "is no socket"},
        {"link-to-stale.sock", false, "is no socket"},
        {"link-to-live.sock", false, "is no socket"},
        {"link-to-file.sock", false, "is no socket"},
    };
    leaveSocketFile(at("stale.sock"));
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const QString target = at(row.name);
        const QFileInfo before(target);
        ConsoleCapture capture;
        {
            StatusServer other(&settings, links.records(), nullptr);
            EXPECT_EQ(other.listen(target), row.taken);
            if (row.taken) {
                EXPECT_TRUE(capture.err().isEmpty()) << capture.err().join('\n').toStdString();
                Client client(target);
                client.send("status\n");
                EXPECT_TRUE(client.next().contains(QStringLiteral("shields")));
            } else {
                ASSERT_EQ(capture.err().size(), 1);
                EXPECT_TRUE(capture.err().first().startsWith(QStringLiteral("#WARNING")));
                EXPECT_TRUE(capture.err().first().contains(QLatin1String(row.why)))
                    << capture.err().first().toStdString();
                EXPECT_TRUE(capture.err().first().contains(target));
            }
        }
        // What was there is there still, untouched (a replaced socket goes with its server).
        const QFileInfo after(target);
        if (!row.taken) {
            EXPECT_TRUE(after.exists() || after.isSymLink());
            EXPECT_EQ(after.isSymLink(), before.isSymLink());
            EXPECT_EQ(after.lastModified(), before.lastModified());
        } else {
            EXPECT_FALSE(after.exists());
        }
    }
    EXPECT_TRUE(QFileInfo::exists(at("stale-target.sock")));
    struct stat info = {};
    ASSERT_EQ(::stat(QFile::encodeName(at("file")).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    for (int fd : queued)
        ::close(fd);
    ::close(busy);
}

TEST_F(StatusServerTest, TheSocketAppearsWithItsModeWhateverTheUmaskAndIsOneFileWhateverThePath)
{
    // The mode is the socket's own from the start, not what the umask leaves; nothing of the
    // making stays in the folder.
    for (const mode_t mask : {mode_t(0), mode_t(077)}) {
        SCOPED_TRACE(mask);
        const mode_t old = ::umask(mask);
        const QString other = dir.filePath(QStringLiteral("m%1.sock").arg(mask));
        StatusServer server(&settings, links.records(), nullptr);
        const bool listening = server.listen(other);
        ::umask(old);
        ASSERT_TRUE(listening);
        struct stat info = {};
        ASSERT_EQ(::lstat(QFile::encodeName(other).constData(), &info), 0);
        EXPECT_TRUE(S_ISSOCK(info.st_mode));
        EXPECT_EQ(info.st_mode & 07777, 0660u);
    }
    EXPECT_EQ(QDir(dir.path())
                  .entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList({QStringLiteral("status.sock")}));

    // A relative path names the file in the working folder for good: made there, removed there at
    // the end, and found again by a later start after a kill.
    const QString working = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir.path()));
    auto relative = std::make_unique<StatusServer>(&settings, links.records(), nullptr);
    const bool listening = relative->listen(QStringLiteral("run/rel.sock"));
    ASSERT_TRUE(QDir::setCurrent(working));
    ASSERT_TRUE(listening);
    const QString absolute = dir.filePath(QStringLiteral("run/rel.sock"));
    Client client(absolute);
    client.send("status\n");
    EXPECT_TRUE(client.next().contains(QStringLiteral("shields")));
    relative.reset();
    EXPECT_FALSE(QFileInfo::exists(absolute));
    leaveSocketFile(absolute);  // as a killed driver leaves it
    ASSERT_TRUE(QDir::setCurrent(dir.path()));
    relative = std::make_unique<StatusServer>(&settings, links.records(), nullptr);
    EXPECT_TRUE(relative->listen(QStringLiteral("run/rel.sock")));
    ASSERT_TRUE(QDir::setCurrent(working));

    // At the end a server removes only its own socket: one that took the path over stays.
    ASSERT_TRUE(QFile::remove(absolute));
    StatusServer successor(&settings, links.records(), nullptr);
    ASSERT_TRUE(successor.listen(absolute));
    relative.reset();
    Client again(absolute);
    again.send("status\n");
    EXPECT_TRUE(again.next().contains(QStringLiteral("shields")));
    // Nor a link swapped in for it, nor what the link points to.
    const QString target = dir.filePath(QStringLiteral("target"));
    QFile file(target);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    {
        StatusServer swapped(&settings, links.records(), nullptr);
        ASSERT_TRUE(swapped.listen(dir.filePath(QStringLiteral("swapped.sock"))));
        ASSERT_TRUE(QFile::remove(dir.filePath(QStringLiteral("swapped.sock"))));
        ASSERT_TRUE(QFile::link(target, dir.filePath(QStringLiteral("swapped.sock"))));
    }
    EXPECT_TRUE(QFileInfo(dir.filePath(QStringLiteral("swapped.sock"))).isSymLink());
    EXPECT_TRUE(QFileInfo::exists(target));
}

TEST_F(StatusServerTest, AClientThatAsksNothingIsClosedAfterTheIdleTimeAndOthersStay)
{
    server->setIdleTimeout(1000);
    server->setWatchInterval(50);
    Client silent(path);
    Client asking(path);
    Client watcher(path);
    watcher.send("watch\n");
    EXPECT_TRUE(watcher.next().contains(QStringLiteral("shields")));
    ASSERT_TRUE(waitUntil([&] { return server->clientCount() == 3; }, 10000));
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 2500) {
        asking.send("status\n");
        EXPECT_TRUE(asking.next().contains(QStringLiteral("shields")));
        watcher.got.clear();
        pump(100);
    }
    EXPECT_TRUE(waitUntil([&] { return !silent.connected(); }, 10000));
    EXPECT_TRUE(silent.got.startsWith("{\"error\":\"no request for 1 s; closing\"}"))
        << silent.got.toStdString();
    EXPECT_TRUE(asking.connected());
    EXPECT_TRUE(watcher.connected());
    EXPECT_EQ(server->clientCount(), 2);
}
