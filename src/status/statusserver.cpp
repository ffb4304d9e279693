#include "status/statusserver.h"

#include "base/capturewire.h"
#include "base/console.h"
#include "base/cycleoverruns.h"
#include "base/jsontext.h"
#include "base/version.h"
#include "config/settings.h"
#include "link/busbudget.h"
#include "link/capturering.h"
#include "link/spiconnector.h"
#include "shield/drivercontrol.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QSocketNotifier>
#include <QtEndian>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

const char *const groupName = "stm-driver";
const int listenBacklog = 16;

void warn(const QString &text)
{
    Console::err.line(QStringLiteral("#WARNING: Status socket: ") + text);
}

QString errorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// Why standard output cannot be written, as the system says it; empty while it can.
QByteArray hostOutputError()
{
    const int error = Console::out.writeError();
    return error != 0 ? errorText(error).toUtf8() : QByteArray();
}

// A descriptor closed when it goes out of scope unless released.
class Fd
{
public:
    explicit Fd(int fd = -1) : fd(fd) {}
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return fd; }
    int release()
    {
        const int f = fd;
        fd = -1;
        return f;
    }

private:
    int fd;
};

// A Unix socket address for `name` in the folder open as `folderFd`, reached through the
// descriptor: no link on the way is followed and a long folder path does not matter.
bool addressIn(int folderFd, const QByteArray &name, sockaddr_un *address)
{
    *address = sockaddr_un{};
    address->sun_family = AF_UNIX;
    const int n = std::snprintf(address->sun_path, sizeof address->sun_path, "/proc/self/fd/%d/%s",
                                folderFd, name.constData());
    return n > 0 && static_cast<size_t>(n) < sizeof address->sun_path;
}

// 0 when a server accepts connections on the socket `name` in `folderFd`, else the error of a
// connection attempt that does not wait (ECONNREFUSED: nobody listens; EAGAIN: its backlog is
// full; EACCES: it belongs to someone else).
int connectError(int folderFd, const QByteArray &name)
{
    sockaddr_un address;
    if (!addressIn(folderFd, name, &address))
        return ENAMETOOLONG;
    const Fd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (probe.get() < 0)
        return errno;
    if (::connect(probe.get(), reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0)
        return 0;
    return errno;
}

// Clears the way for a socket at `name` in `folderFd`: true when nothing is there, or when a
// socket nobody listens on was there and is removed. Anything else stays where it is, with one
// warning naming why, and false.
bool clearStaleSocket(int folderFd, const QByteArray &name, const QString &path)
{
    struct stat before = {};
    if (::fstatat(folderFd, name.constData(), &before, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT)
            return true;
        warn(QStringLiteral("cannot look at ") + path + QStringLiteral(" (") + errorText(errno) +
             QStringLiteral("); running without it"));
        return false;
    }
    if (!S_ISSOCK(before.st_mode)) {
        warn(path + QStringLiteral(" exists and is no socket; running without it"));
        return false;
    }
    const int error = connectError(folderFd, name);
    if (error == 0) {
        warn(QStringLiteral("another driver answers on ") + path +
             QStringLiteral("; running without it"));
        return false;
    }
    if (error != ECONNREFUSED) {
        warn(QStringLiteral("cannot tell whether a driver answers on ") + path +
             QStringLiteral(" (") + errorText(error) +
             QStringLiteral("); leaving it and running without it"));
        return false;
    }
    // Nobody listens: left by a driver that died. Removed only if it is still the same file.
    struct stat now = {};
    if (::fstatat(folderFd, name.constData(), &now, AT_SYMLINK_NOFOLLOW) != 0 ||
        now.st_dev != before.st_dev || now.st_ino != before.st_ino) {
        warn(path + QStringLiteral(" changed while it was probed; running without it"));
        return false;
    }
    if (::unlinkat(folderFd, name.constData(), 0) != 0) {
        warn(QStringLiteral("cannot remove the socket left at ") + path + QStringLiteral(" (") +
             errorText(errno) + QStringLiteral("); running without it"));
        return false;
    }
    return true;
}

// A listening socket at `name` in `folderFd` that nobody can reach before its mode is 0660 and
// its group is set: bound in a private folder (mode 0700, ours) made next to it, set up there
// by name within that folder, then renamed into place without replacing anything. The mode or
// group that cannot be set is one warning and the socket is served anyway. Returns the
// descriptor and the file's device and inode, or -1 after one warning.
int bindInPlace(int folderFd, const QString &folder, const QByteArray &name, const QString &path,
                struct stat *file)
{
    const QString failed = QStringLiteral("cannot create ") + path + QStringLiteral(" (");
    const QString without = QStringLiteral("); running without it");
    QByteArray privatePath = QFile::encodeName(folder) + "/.stm-status-XXXXXX";
    if (!::mkdtemp(privatePath.data())) {
        warn(failed + errorText(errno) + without);
        return -1;
    }
    const QByteArray privateName = privatePath.mid(privatePath.lastIndexOf('/') + 1);
    const Fd privateFd(
        ::open(privatePath.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat folderInfo = {};
    if (privateFd.get() < 0 || ::fstat(privateFd.get(), &folderInfo) != 0 ||
        folderInfo.st_uid != ::geteuid() || (folderInfo.st_mode & 077) != 0) {
        // Not the folder just made: someone swapped it; leave whatever is there alone.
        warn(failed + QStringLiteral("its private folder was replaced") + without);
        return -1;
    }
    const QByteArray inner = "s";
    const auto cleanUp = [&] {
        ::unlinkat(privateFd.get(), inner.constData(), 0);
        ::unlinkat(folderFd, privateName.constData(), AT_REMOVEDIR);
    };
    Fd socketFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    sockaddr_un address;
    if (socketFd.get() < 0 || !addressIn(privateFd.get(), inner, &address) ||
        ::bind(socketFd.get(), reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0 ||
        ::fstatat(privateFd.get(), inner.constData(), file, AT_SYMLINK_NOFOLLOW) != 0) {
        warn(failed + errorText(errno) + without);
        cleanUp();
        return -1;
    }
    // Set by name in the private folder, where nobody else can put a link: the mode and group
    // of the socket's own descriptor are not the file's.
    if (::fchmodat(privateFd.get(), inner.constData(), 0660, 0) != 0)
        warn(QStringLiteral("cannot set mode 0660 on ") + path + QStringLiteral(" (") +
             errorText(errno) + QStringLiteral(")"));
    if (const struct group *group = ::getgrnam(groupName)) {
        if (::fchownat(privateFd.get(), inner.constData(), static_cast<uid_t>(-1), group->gr_gid,
                       AT_SYMLINK_NOFOLLOW) != 0)
            warn(QStringLiteral("cannot give ") + path + QStringLiteral(" the group ") +
                 QLatin1String(groupName) + QStringLiteral(" (") + errorText(errno) +
                 QStringLiteral(")"));
    }
    if (::listen(socketFd.get(), listenBacklog) != 0) {
        warn(failed + errorText(errno) + without);
        cleanUp();
        return -1;
    }
    int moved = ::renameat2(privateFd.get(), inner.constData(), folderFd, name.constData(),
                            RENAME_NOREPLACE);
    if (moved != 0 && (errno == EINVAL || errno == ENOSYS)) {
        // A file system that cannot refuse to replace: the way was cleared just before.
        moved = ::renameat(privateFd.get(), inner.constData(), folderFd, name.constData());
    }
    if (moved != 0) {
        warn(errno == EEXIST ? path + QStringLiteral(" appeared while the socket was made; "
                                                     "running without it")
                             : failed + errorText(errno) + without);
        cleanUp();
        return -1;
    }
    cleanUp();
    return socketFd.release();
}

const char *stateName(ShieldState::State state)
{
    switch (state) {
    case ShieldState::STATE_INIT:
        return "init";
    case ShieldState::STATE_ONLINE:
        return "online";
    default:
        return "offline";
    }
}

// The shield's 96-bit unique ID as 24 hex digits, its three words in order.
std::array<char, 25> hexId(const ShieldState &state)
{
    std::array<char, 25> text{};
    std::snprintf(text.data(), text.size(), "%08x%08x%08x", unsigned(state.getId_0()),
                  unsigned(state.getId_1()), unsigned(state.getId_2()));
    return text;
}

}  // namespace

StatusServer::StatusServer(const Settings *settings, SPIconnector *const *links,
                           const DriverControl *control, QObject *parent)
    : QObject(parent), settings(settings), links(links), control(control)
{
    uptime.start();
    watchTimer.setInterval(defaultWatchMs);
    connect(&watchTimer, &QTimer::timeout, this, &StatusServer::sendWatched);
    bool ok = false;
    const int idle = qEnvironmentVariableIntValue("STM_STATUS_IDLE_MS", &ok);
    setIdleTimeout(ok && idle > 0 ? idle : defaultIdleMs);
    idleTimer.setSingleShot(true);  // set for the first client that could fall idle
    connect(&idleTimer, &QTimer::timeout, this, &StatusServer::closeIdle);
    sampleTimer.setInterval(MinuteWindow::sampleMs);
    connect(&sampleTimer, &QTimer::timeout, this, &StatusServer::sampleFrames);
    sampleTimer.start();
    captureTimer.setInterval(captureDrainMs);
    connect(&captureTimer, &QTimer::timeout, this, &StatusServer::sendCaptured);
}

StatusServer::~StatusServer()
{
    if (listenFd < 0)
        return;
    delete listenNotifier;
    ::close(listenFd);
    // Removed only while it is still the socket made here (a driver that took the path over
    // after a kill keeps its own).
    const QByteArray native = QFile::encodeName(socketPath);
    struct stat info = {};
    if (::lstat(native.constData(), &info) == 0 && S_ISSOCK(info.st_mode) &&
        quint64(info.st_dev) == socketDevice && quint64(info.st_ino) == socketInode)
        ::unlink(native.constData());
}

void StatusServer::setWatchInterval(int ms)
{
    watchTimer.setInterval(ms);
}

void StatusServer::setIdleTimeout(int ms)
{
    idleMs = ms;
}

bool StatusServer::listen(const QString &requested)
{
    if (requested.isEmpty() || listenFd >= 0)
        return false;
    // One absolute path for the probe, the socket and its removal at the end, whatever the
    // working folder is later.
    const QString path = QDir::cleanPath(QFileInfo(requested).absoluteFilePath());
    const QString folder = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(folder)) {
        warn(QStringLiteral("cannot create the folder ") + folder +
             QStringLiteral("; running without it"));
        return false;
    }
    const Fd folderFd(
        ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folderFd.get() < 0) {
        warn(QStringLiteral("cannot open the folder ") + folder + QStringLiteral(" (") +
             errorText(errno) + QStringLiteral("); running without it"));
        return false;
    }
    const QByteArray name = QFile::encodeName(QFileInfo(path).fileName());
    if (!clearStaleSocket(folderFd.get(), name, path))
        return false;
    struct stat file = {};
    const int fd = bindInPlace(folderFd.get(), folder, name, path, &file);
    if (fd < 0)
        return false;
    listenFd = fd;
    socketPath = path;
    socketDevice = file.st_dev;
    socketInode = file.st_ino;
    listenNotifier = new QSocketNotifier(listenFd, QSocketNotifier::Read, this);
    connect(listenNotifier, &QSocketNotifier::activated, this, &StatusServer::acceptClients);
    return true;
}

void StatusServer::sampleFrames()
{
    for (int s = 0; s < maxShields; ++s) {
        const LinkCounters &c = links[s]->counters;
        exchangesWindow[static_cast<size_t>(s)].sample(LinkCounters::read(c.exchanges));
        framesWindow[static_cast<size_t>(s)].sample(LinkCounters::read(c.frames));
        badFramesWindow[static_cast<size_t>(s)].sample(LinkCounters::read(c.bad_frames));
    }
}

QByteArray StatusServer::document() const
{
    JsonText json;
    json.open()
        .field("version", driverVersion)
        .field("uptime_s", uptime.elapsed() / 1000)
        .field("restarts", control ? control->restartCount() : 0)
        .field("rtprio", settings->rtprio)
        .field("cycle_overruns", control ? control->cycleOverruns().total() : 0)
        .field("longest_cycle_us", control ? control->cycleOverruns().longestUs() : 0)
        .field("bus_full", busBudget ? busBudget->full() : false)
        .field("capture_dropped", capture ? capture->dropped() : 0)
        .field("mode", settings->multiShield ? "multi" : "single")
        .field("host_output_queued", Console::out.queuedBytes())
        .field("host_stalled_s", Console::out.stalledMs() / 1000)
        .field("host_output_error", hostOutputError().constData())
        .field("host_lines_dropped", Console::out.refusedLines())
        .openArray("shields");
    for (quint8 s = 0; s <= settings->lastShield; ++s) {
        const ShieldState &state = settings->shieldState[s];
        const LinkCounters &c = links[s]->counters;
        const BootloaderWatch &bootloader = links[s]->bootloader_watch;
        const quint64 exchanges = LinkCounters::read(c.exchanges);
        const quint64 frames = LinkCounters::read(c.frames);
        const quint64 badFrames = LinkCounters::read(c.bad_frames);
        json.open()
            .field("address", s)
            .field("state", bootloader.inBootloader() ? "bootloader" : stateName(state.getState()))
            .field("bootloader_handoffs", bootloader.handoffs())
            .field("bootloader_since_s", bootloader.stayMs(BootloaderWatch::nowMs()) / 1000)
            .field("firmware", state.getFirmware())
            .field("beta", state.getBeta())
            .field("shield", state.getShield())
            .field("revision", state.getRevision())
            .field("id", hexId(state).data())
            .field("intercom", state.getIntercom())
            .field("events", LinkCounters::read(c.events))
            .field("commands", LinkCounters::read(c.commands))
            .field("tx_errors", LinkCounters::read(c.tx_errors))
            .field("rx_errors", LinkCounters::read(c.rx_errors))
            .field("disconnects", LinkCounters::read(c.disconnects))
            .field("exchanges", exchanges)
            .field("frames", frames)
            .field("bad_frames", badFrames)
            .field("exchanges_last_min", exchangesWindow[s].lastMinute(exchanges))
            .field("frames_last_min", framesWindow[s].lastMinute(frames))
            .field("bad_frames_last_min", badFramesWindow[s].lastMinute(badFrames))
            .field("audio", links[s]->get_long_packet())
            .field("audio_blocks_in", LinkCounters::read(c.audio_blocks_in))
            .field("audio_blocks_out", LinkCounters::read(c.audio_blocks_out))
            .field("audio_dropped", LinkCounters::read(c.audio_dropped))
            .field("audio_underruns", LinkCounters::read(c.audio_underruns))
            .field("audio_delay_ms", c.audio_delay_ms.load(std::memory_order_relaxed))
            .close();
    }
    json.closeArray().close();
    return json.bytes();
}

QByteArray StatusServer::errorDocument(const QString &text)
{
    JsonText json;
    return json.open().field("error", text.toUtf8().constData()).close().bytes();
}

void StatusServer::acceptClients()
{
    for (;;) {
        const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                // Out of descriptors or memory: the waiting connection stays queued; look again
                // in a second instead of spinning on it.
                listenNotifier->setEnabled(false);
                QTimer::singleShot(1000, listenNotifier,
                                   [n = listenNotifier] { n->setEnabled(true); });
            }
            return;
        }
        QLocalSocket *socket = new QLocalSocket(this);
        if (!socket->setSocketDescriptor(fd)) {
            ::close(fd);
            delete socket;
            continue;
        }
        if (clients.size() >= maxClients) {
            socket->write(errorDocument(QStringLiteral("too many clients")) + '\n');
            socket->flush();
            socket->disconnectFromServer();
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            if (socket->state() == QLocalSocket::UnconnectedState)
                socket->deleteLater();
            continue;
        }
        Client client;
        client.socket = socket;
        client.lastRequestMs = uptime.elapsed();
        clients.append(client);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readRequests(socket); });
        connect(socket, &QLocalSocket::disconnected, this, [this, socket] { drop(socket); });
        if (!idleTimer.isActive())
            idleTimer.start(idleMs);
    }
}

StatusServer::Client *StatusServer::find(QLocalSocket *socket)
{
    for (Client &client : clients) {
        if (client.socket == socket)
            return &client;
    }
    return nullptr;
}

QList<QLocalSocket *> StatusServer::socketsOf(bool Client::*mode) const
{
    QList<QLocalSocket *> sockets;
    for (const Client &client : clients) {
        if (client.*mode)
            sockets << client.socket;
    }
    return sockets;
}

void StatusServer::readRequests(QLocalSocket *socket)
{
    Client *client = find(socket);
    if (!client)
        return;
    if (client->capturing) {
        socket->readAll();  // its stream carries records only: nothing is answered any more
        return;
    }
    client->pending += socket->readAll();
    for (;;) {
        const int end = client->pending.indexOf('\n');
        if (end < 0)
            break;
        const QByteArray request = client->pending.left(end);
        client->pending.remove(0, end + 1);
        client->lastRequestMs = uptime.elapsed();
        if (client->skipping)
            client->skipping = false;  // the end of the request that was too long
        else if (!answer(*client, request))
            return;  // the answer dropped it: `client` is gone
    }
    if (client->pending.size() > maxRequestBytes) {
        client->pending.clear();
        if (!client->skipping) {
            client->skipping = true;
            send(socket, errorDocument(QStringLiteral("request too long")));
        }
    }
}

bool StatusServer::answer(Client &client, const QByteArray &request)
{
    if (client.capturing)
        return true;  // a request behind "capture" in the same read: its stream is records only
    QLocalSocket *socket = client.socket;
    const QByteArray word = request.trimmed();
    if (word == "status")
        return send(socket, document());
    if (word == "watch") {
        client.watching = true;
        if (!watchTimer.isActive())
            watchTimer.start();
        return send(socket, document());
    }
    if (word.split(' ').first() == CaptureWire::request)
        return startCapture(client, word.mid(int(qstrlen(CaptureWire::request))).trimmed());
    return send(socket,
                errorDocument(QStringLiteral("unknown request; send status, watch or capture")));
}

bool StatusServer::startCapture(Client &client, const QByteArray &argument)
{
    int shield = -1;  // every shield
    bool ok = true;
    if (!argument.isEmpty()) {
        shield = argument.toInt(&ok);
        ok = ok && shield >= 0 && shield < maxShields;
    }
    if (!ok) {
        return send(client.socket,
                    errorDocument(QStringLiteral(
                        "capture takes one shield address 0-5, or none for every shield")));
    }
    if (!capture)
        return send(client.socket, errorDocument(QStringLiteral("this driver has no capture")));
    capture->open();
    // Set before the answer goes: sending may drop the client. A capture client dropped here
    // leaves the ring to the timer, which closes it when nobody captures.
    client.capturing = true;
    client.watching = false;
    client.captureShield = shield;
    if (!captureTimer.isActive())
        captureTimer.start();
    JsonText answer;
    answer.open().field("capture", "started").field("link_type", CaptureWire::pcapLinkType);
    if (shield < 0)
        answer.field("shield", "all");
    else
        answer.field("shield", shield);
    return send(client.socket, answer.close().bytes());
}

// Hands the records that the transfer loop put into the ring to the capture clients. A client
// whose unread output is over its bound loses them, and gets a records-lost record first when it
// reads again. Without capture clients the ring is closed, and the timer stops once it is freed.
void StatusServer::sendCaptured()
{
    const QList<QLocalSocket *> capturers = socketsOf(&Client::capturing);
    if (capturers.isEmpty()) {
        if (capture->close())
            captureTimer.stop();
        return;
    }
    CaptureRing *ring = capture->open();
    while (ring->take(&captureRecord)) {
        const auto *data =
            reinterpret_cast<const quint8 *>(captureRecord.constData()) + CaptureWire::headerSize;
        const bool lostRecord = data[CaptureWire::directionByte] == CaptureWire::recordsLost;
        for (QLocalSocket *socket : capturers) {
            Client *client = find(socket);
            if (!client || (!lostRecord && client->captureShield >= 0 &&
                            client->captureShield != data[CaptureWire::shieldByte]))
                continue;
            if (socket->bytesToWrite() > maxCaptureUnreadBytes) {
                if (lostRecord) {  // counted where the ring lost them
                    client->captureLost += qFromBigEndian<quint32>(data + CaptureWire::busBytesAt);
                } else {
                    ++client->captureLost;
                    capture->addDropped(1);
                }
                continue;
            }
            if (client->captureLost != 0) {
                QByteArray lost(CaptureWire::lostRecordSize, '\0');
                CaptureWire::putLostRecord(reinterpret_cast<quint8 *>(lost.data()),
                                           CaptureRing::nowUs(), client->captureLost);
                socket->write(lost);
                client->captureLost = 0;
            }
            socket->write(captureRecord);
        }
    }
}

bool StatusServer::send(QLocalSocket *socket, const QByteArray &line)
{
    if (socket->bytesToWrite() > maxUnreadBytes) {
        drop(socket);  // it does not read what it asked for
        return false;
    }
    socket->write(line + '\n');
    return true;
}

void StatusServer::sendWatched()
{
    const QList<QLocalSocket *> watchers = socketsOf(&Client::watching);
    if (watchers.isEmpty()) {
        watchTimer.stop();
        return;
    }
    const QByteArray doc = document();
    for (QLocalSocket *socket : watchers) {
        if (find(socket))
            send(socket, doc);
    }
}

// Closes the clients that sent no whole request for the idle time and watch nothing, then sets
// the timer for the next client that could fall idle (none: it stays off).
void StatusServer::closeIdle()
{
    const qint64 now = uptime.elapsed();
    QList<QLocalSocket *> idle;
    qint64 next = -1;
    for (const Client &client : clients) {
        if (client.watching || client.capturing)
            continue;
        if (now - client.lastRequestMs >= idleMs)
            idle << client.socket;
        else if (next < 0 || client.lastRequestMs + idleMs < next)
            next = client.lastRequestMs + idleMs;
    }
    for (QLocalSocket *socket : idle) {
        socket->write(
            errorDocument(QStringLiteral("no request for %1 s; closing").arg(idleMs / 1000.0)) +
            '\n');
        socket->flush();
        drop(socket);
    }
    if (next >= 0)
        idleTimer.start(static_cast<int>(next - now));
}

void StatusServer::drop(QLocalSocket *socket)
{
    for (int i = 0; i < clients.size(); ++i) {
        if (clients.at(i).socket == socket) {
            clients.removeAt(i);
            socket->disconnect(this);
            socket->abort();
            socket->deleteLater();
            return;
        }
    }
}
