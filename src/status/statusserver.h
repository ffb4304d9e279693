#pragma once
// The status socket for technicians: a Unix stream socket on which a client sends one request
// per line and gets one JSON document per line back ("status": the document once; "watch": the
// document now and then every watch interval until the client goes; "capture": the link's
// exchanges as they happen, in the records of base/capturewire.h). Lives in the main thread and
// only reads: the shields' records, the atomic counters of their link records and the restart
// count, so it never takes the link mutex and never waits for the transfer loop or the
// supervisor. Clients are bounded in number, request length, unread output and idle time; a
// client that breaks a bound gets an error document or is dropped, and the driver goes on.

#include "base/shieldcount.h"
#include "status/minutewindow.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

#include <array>

class BusBudget;
class CaptureTap;
class DriverControl;
class QLocalSocket;
class QSocketNotifier;
class Settings;
class SPIconnector;

class StatusServer : public QObject
{
    Q_OBJECT

public:
    static constexpr int maxClients = 8;
    static constexpr int maxRequestBytes = 256;
    // Output a client has left unread beyond which it is dropped.
    static constexpr qint64 maxUnreadBytes = 64 * 1024;
    static constexpr int defaultWatchMs = 1000;
    // A client that sent no whole request for this long and watches nothing is closed, so
    // forgotten connections never fill the places. STM_STATUS_IDLE_MS in the environment
    // shortens it (for tests).
    static constexpr int defaultIdleMs = 60000;
    // A capture client is sent the records of the transfer loop's ring this often; beyond this
    // much unread output it loses records (counted, and told in its stream) until it catches up.
    static constexpr int captureDrainMs = 20;
    static constexpr qint64 maxCaptureUnreadBytes = 512 * 1024;

    StatusServer(const Settings *settings, SPIconnector *const *links, const DriverControl *control,
                 QObject *parent = nullptr);
    ~StatusServer() override;

    // Listens on `path` (a relative one is taken against the working folder now): replaces a
    // socket file nobody listens on; gives one "#WARNING" line on standard error and returns
    // false when anything else is there (a live driver, a socket it cannot probe, another file),
    // the folder cannot be made or the socket cannot be opened. The socket appears with mode
    // 0660 and its group already set, or with one "#WARNING" when they cannot be set.
    bool listen(const QString &path);
    void setWatchInterval(int ms);
    void setIdleTimeout(int ms);
    // Where the exchanges come from for "capture" (not owned); without it the request is refused.
    void setCapture(CaptureTap *tap) { capture = tap; }
    // Whether the calls in progress need more of the bus than a cycle has, for "bus_full" (not
    // owned); without it the field reads false.
    void setBusBudget(const BusBudget *budget) { busBudget = budget; }
    int clientCount() const { return clients.size(); }

    // The status document, one line of compact JSON without the end of line.
    QByteArray document() const;

private:
    struct Client {
        QLocalSocket *socket = nullptr;
        QByteArray pending;     // request bytes after the last end of line
        bool skipping = false;  // in the rest of a request that was too long
        bool watching = false;
        bool capturing = false;    // gets records only, and its requests are read no more
        int captureShield = -1;    // the one shield it captures, or -1 for every shield
        quint32 captureLost = 0;   // records it lost since it was last told
        qint64 lastRequestMs = 0;  // on the uptime clock: the last whole request, or the connect
    };

    void acceptClients();
    void readRequests(QLocalSocket *socket);
    // The operations below that send to a client return false when sending dropped it: the
    // client's entry is gone then, and `client` must not be touched any more.
    bool answer(Client &client, const QByteArray &request);
    bool send(QLocalSocket *socket, const QByteArray &line);
    void sendWatched();
    void closeIdle();
    void drop(QLocalSocket *socket);
    Client *find(QLocalSocket *socket);
    // The sockets of the clients in a mode (watching, capturing): a copy, as sending to them may
    // drop clients.
    QList<QLocalSocket *> socketsOf(bool Client::*mode) const;
    static QByteArray errorDocument(const QString &text);
    void sampleFrames();
    bool startCapture(Client &client, const QByteArray &argument);
    void sendCaptured();

    const Settings *settings;
    SPIconnector *const *links;
    const DriverControl *control;
    int listenFd = -1;
    QSocketNotifier *listenNotifier = nullptr;
    QList<Client> clients;
    QTimer watchTimer;
    QTimer idleTimer;
    int idleMs = defaultIdleMs;
    QElapsedTimer uptime;
    // Exchanges, frames and bad frames of each shield over the last minute, for the share of
    // its exchanges that brought a damaged frame.
    QTimer sampleTimer;
    std::array<MinuteWindow, maxShields> exchangesWindow;
    std::array<MinuteWindow, maxShields> framesWindow;
    std::array<MinuteWindow, maxShields> badFramesWindow;
    CaptureTap *capture = nullptr;
    const BusBudget *busBudget = nullptr;
    QTimer captureTimer;  // runs while a client captures, or a closed ring waits to be freed
    QByteArray captureRecord;
    QString socketPath;  // absolute; removed at the end only while it is still our socket file
    quint64 socketDevice = 0;
    quint64 socketInode = 0;
};
