#include "status/statusserver.h"

#include "base/console.h"
#include "base/cycleoverruns.h"
#include "base/version.h"
#include "config/settings.h"
#include "link/spiconnector.h"
#include "shield/drivercontrol.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalServer>
#include <QLocalSocket>

#include <chrono>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char *const groupName = "stm-driver";
// How long a socket file's owner gets to answer before the file counts as left behind.
const int probeMs = 500;

void warn(const QString &text)
{
    Console::err.line(QStringLiteral("#WARNING: Status socket: ") + text);
}

QString stateName(ShieldState::State state)
{
    switch (state) {
    case ShieldState::STATE_INIT:
        return QStringLiteral("init");
    case ShieldState::STATE_ONLINE:
        return QStringLiteral("online");
    default:
        return QStringLiteral("offline");
    }
}

qint64 steadyMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

QString hexWord(quint32 word)
{
    return QStringLiteral("%1").arg(word, 8, 16, QLatin1Char('0'));
}

}  // namespace

StatusServer::StatusServer(const Settings *settings, SPIconnector *const *links,
                           const DriverControl *control, QObject *parent)
    : QObject(parent),
      settings(settings),
      links(links),
      control(control),
      server(new QLocalServer(this))
{
    uptime.start();
    watchTimer.setInterval(defaultWatchMs);
    connect(&watchTimer, &QTimer::timeout, this, &StatusServer::sendWatched);
    connect(server, &QLocalServer::newConnection, this, &StatusServer::acceptClients);
    sampleTimer.setInterval(MinuteWindow::sampleMs);
    connect(&sampleTimer, &QTimer::timeout, this, &StatusServer::sampleFrames);
    sampleTimer.start();
}

StatusServer::~StatusServer()
{
    if (server->isListening()) {
        server->close();
        QFile::remove(socketPath);
    }
}

void StatusServer::setWatchInterval(int ms)
{
    watchTimer.setInterval(ms);
}

bool StatusServer::listen(const QString &path)
{
    if (path.isEmpty())
        return false;
    const QString folder = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(folder)) {
        warn(QStringLiteral("cannot create the folder ") + folder +
             QStringLiteral("; running without it"));
        return false;
    }
    const QByteArray native = QFile::encodeName(path);
    struct stat info = {};
    if (::lstat(native.constData(), &info) == 0) {
        if (!S_ISSOCK(info.st_mode)) {
            warn(path + QStringLiteral(" exists and is no socket; running without it"));
            return false;
        }
        QLocalSocket probe;
        probe.connectToServer(path);
        if (probe.waitForConnected(probeMs)) {
            warn(QStringLiteral("another driver answers on ") + path +
                 QStringLiteral("; running without it"));
            return false;
        }
        QFile::remove(path);  // left by a driver that died
    }
    if (!server->listen(path)) {
        warn(QStringLiteral("cannot listen on ") + path + QStringLiteral(" (") +
             server->errorString() + QStringLiteral("); running without it"));
        return false;
    }
    socketPath = path;
    ::chmod(native.constData(), 0660);
    if (const struct group *group = ::getgrnam(groupName))
        static_cast<void>(::chown(native.constData(), static_cast<uid_t>(-1), group->gr_gid));
    return true;
}

void StatusServer::sampleFrames()
{
    for (int s = 0; s < maxShields; ++s) {
        const LinkCounters &c = links[s]->counters;
        framesWindow[static_cast<size_t>(s)].sample(LinkCounters::read(c.frames));
        badFramesWindow[static_cast<size_t>(s)].sample(LinkCounters::read(c.bad_frames));
    }
}

QByteArray StatusServer::document() const
{
    QJsonArray shields;
    for (quint8 s = 0; s <= settings->lastShield; ++s) {
        const ShieldState &state = settings->shieldState[s];
        const LinkCounters &c = links[s]->counters;
        QJsonObject shield;
        shield.insert(QStringLiteral("address"), s);
        const BootloaderWatch &bootloader = links[s]->bootloader_watch;
        shield.insert(QStringLiteral("state"), bootloader.inBootloader()
                                                   ? QStringLiteral("bootloader")
                                                   : stateName(state.getState()));
        shield.insert(QStringLiteral("bootloader_handoffs"), qint64(bootloader.handoffs()));
        shield.insert(QStringLiteral("bootloader_since_s"), bootloader.stayMs(steadyMs()) / 1000);
        shield.insert(QStringLiteral("firmware"), state.getFirmware());
        shield.insert(QStringLiteral("beta"), state.getBeta());
        shield.insert(QStringLiteral("shield"), state.getShield());
        shield.insert(QStringLiteral("revision"), state.getRevision());
        shield.insert(QStringLiteral("id"), hexWord(state.getId_0()) + hexWord(state.getId_1()) +
                                                hexWord(state.getId_2()));
        shield.insert(QStringLiteral("intercom"), state.getIntercom());
        shield.insert(QStringLiteral("events"), qint64(LinkCounters::read(c.events)));
        shield.insert(QStringLiteral("commands"), qint64(LinkCounters::read(c.commands)));
        shield.insert(QStringLiteral("tx_errors"), qint64(LinkCounters::read(c.tx_errors)));
        shield.insert(QStringLiteral("rx_errors"), qint64(LinkCounters::read(c.rx_errors)));
        shield.insert(QStringLiteral("disconnects"), qint64(LinkCounters::read(c.disconnects)));
        const quint64 frames = LinkCounters::read(c.frames);
        const quint64 badFrames = LinkCounters::read(c.bad_frames);
        shield.insert(QStringLiteral("frames"), qint64(frames));
        shield.insert(QStringLiteral("bad_frames"), qint64(badFrames));
        shield.insert(QStringLiteral("frames_last_min"),
                      qint64(framesWindow[s].lastMinute(frames)));
        shield.insert(QStringLiteral("bad_frames_last_min"),
                      qint64(badFramesWindow[s].lastMinute(badFrames)));
        shield.insert(QStringLiteral("audio"), links[s]->get_long_packet());
        shield.insert(QStringLiteral("audio_blocks_in"),
                      qint64(LinkCounters::read(c.audio_blocks_in)));
        shield.insert(QStringLiteral("audio_blocks_out"),
                      qint64(LinkCounters::read(c.audio_blocks_out)));
        shield.insert(QStringLiteral("audio_dropped"), qint64(LinkCounters::read(c.audio_dropped)));
        shields.append(shield);
    }
    QJsonObject root;
    root.insert(QStringLiteral("version"), QLatin1String(driverVersion));
    root.insert(QStringLiteral("uptime_s"), uptime.elapsed() / 1000);
    root.insert(QStringLiteral("restarts"), qint64(control ? control->restartCount() : 0));
    root.insert(QStringLiteral("rtprio"), settings->rtprio);
    root.insert(QStringLiteral("cycle_overruns"),
                qint64(control ? control->cycleOverruns().total() : 0));
    root.insert(QStringLiteral("longest_cycle_us"),
                qint64(control ? control->cycleOverruns().longestUs() : 0));
    root.insert(QStringLiteral("mode"),
                settings->multiShield ? QStringLiteral("multi") : QStringLiteral("single"));
    root.insert(QStringLiteral("shields"), shields);
    return QJsonDocument(root).toJson(QJsonDocument::Compact);
}

QByteArray StatusServer::errorDocument(const QString &text)
{
    QJsonObject root;
    root.insert(QStringLiteral("error"), text);
    return QJsonDocument(root).toJson(QJsonDocument::Compact);
}

void StatusServer::acceptClients()
{
    while (QLocalSocket *socket = server->nextPendingConnection()) {
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
        clients.append(client);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readRequests(socket); });
        connect(socket, &QLocalSocket::disconnected, this, [this, socket] { drop(socket); });
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

void StatusServer::readRequests(QLocalSocket *socket)
{
    Client *client = find(socket);
    if (!client)
        return;
    client->pending += socket->readAll();
    for (;;) {
        client = find(socket);  // answering may have dropped it
        if (!client)
            return;
        const int end = client->pending.indexOf('\n');
        if (end < 0)
            break;
        const QByteArray request = client->pending.left(end);
        client->pending.remove(0, end + 1);
        if (client->skipping)
            client->skipping = false;  // the end of the request that was too long
        else
            answer(*client, request);
    }
    if (client->pending.size() > maxRequestBytes) {
        client->pending.clear();
        if (!client->skipping) {
            client->skipping = true;
            send(socket, errorDocument(QStringLiteral("request too long")));
        }
    }
}

void StatusServer::answer(Client &client, const QByteArray &request)
{
    QLocalSocket *socket = client.socket;
    const QByteArray word = request.trimmed();
    if (word == "status") {
        send(socket, document());
    } else if (word == "watch") {
        client.watching = true;
        if (!watchTimer.isActive())
            watchTimer.start();
        send(socket, document());
    } else {
        send(socket, errorDocument(QStringLiteral("unknown request; send status or watch")));
    }
}

void StatusServer::send(QLocalSocket *socket, const QByteArray &line)
{
    if (socket->bytesToWrite() > maxUnreadBytes) {
        drop(socket);  // it does not read what it asked for
        return;
    }
    socket->write(line + '\n');
}

void StatusServer::sendWatched()
{
    QList<QLocalSocket *> watchers;
    for (const Client &client : clients) {
        if (client.watching)
            watchers << client.socket;
    }
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
