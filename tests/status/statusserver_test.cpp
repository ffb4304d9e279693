// The status socket in-process: the document shows the shield records and link counters as they
// are, bad and endless requests get an error and leave the connection usable, the ninth client
// is turned away, a client that never reads is dropped, and the socket file is taken over only
// from a driver that died.

#include "status/statusserver.h"
#include "config/settings.h"
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

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <sys/socket.h>
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
    links[2].counters.frames = 5000000000;  // past what 32 bits hold
    links[2].counters.bad_frames = 4300000000;
    links[2].counters.audio_blocks_in = 500;
    links[2].counters.audio_blocks_out = 600;
    links[2].counters.audio_dropped = 7;
    links[2].set_long_packet(true);
    settings.shieldState[3].setState(ShieldState::STATE_INIT);
    settings.rtprio = 50;

    Client client(path);
    client.send("status\n");
    const QJsonObject doc = client.next();
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
        {"firmware", 23},
        {"frames", 5000000000},
        {"bad_frames", 4300000000},
        // A driver younger than a minute: its whole run is the last minute.
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
