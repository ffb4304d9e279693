#pragma once
// A stand-in for the shield simulator in tests that records the raw bus: listens on a
// Unix-domain socket, serves one driver connection at a time, records every GPIO and SPI message
// and answers transfers from a script. Owned by the test thread; its own thread serves the
// socket, and one mutex guards what it records and its script.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QTemporaryDir>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <thread>

class RecordingBusServer
{
public:
    struct Message {
        explicit Message(char k) : kind(k) {}
        char kind;         // 'G' (pin write) or 'S' (transfer)
        quint8 pin = 0;    // 'G'
        quint8 level = 0;  // 'G'
        QByteArray bytes;  // 'S': the bytes clocked out by the driver
    };
    struct PinWrite {
        quint8 pin;
        quint8 level;
        bool operator==(const PinWrite &o) const { return pin == o.pin && level == o.level; }
    };
    // Answers one transfer from the bytes sent; the answer is padded with zeros or cut to the
    // transfer's length.
    using ReplyHandler = std::function<QByteArray(const QByteArray &sent)>;

    // Listens on a fresh path in a temporary directory of its own, or, given a directory, on a
    // path in it named after the process (for servers in forked children, whose own temporary
    // directory would outlive them).
    explicit RecordingBusServer(const QString &directory = QString());
    // Closes every socket and removes the path. A driver still connected sees the bus gone.
    ~RecordingBusServer();
    RecordingBusServer(const RecordingBusServer &) = delete;
    RecordingBusServer &operator=(const RecordingBusServer &) = delete;

    QString path() const { return socketPath; }
    bool isListening() const { return listenFd >= 0; }

    // Answers the transfers (default: zero bytes). Runs in the server's thread.
    void setReplyHandler(ReplyHandler handler);

    QList<Message> messages() const;
    QList<PinWrite> pinWrites() const;
    QList<QByteArray> transfers() const;
    int connections() const;  // accepted so far
    // True once a byte was read that starts no known message: the stream lost its framing.
    bool protocolError() const;

    // Wait helpers; false on time-out.
    bool waitForConnection(int timeoutMs) const;
    bool waitForMessages(int count, int timeoutMs) const;
    bool waitForPinWrites(int count, int timeoutMs) const;

    // Closes the current driver connection (the simulator going away); keeps listening.
    // Returns once it is closed.
    void closeClient();

private:
    void serve();
    // Takes the complete messages off the front of input; answers transfers. Server thread.
    void parse();
    void wake();
    template <typename Pred>
    bool waitFor(int timeoutMs, Pred pred) const;

    std::unique_ptr<QTemporaryDir> ownDir;  // when no directory was given
    QString socketPath;
    int listenFd = -1;                  // set before the thread starts, then read-only
    int wakeRead = -1, wakeWrite = -1;  // likewise
    std::thread thread;
    QByteArray input;  // server thread only: received, not yet parsed

    mutable std::mutex mutex;  // guards the fields below
    mutable std::condition_variable changed;
    int clientFd = -1;
    bool closeRequested = false;
    bool stopping = false;
    int accepted = 0;
    bool badStream = false;
    QList<Message> recorded;
    ReplyHandler handler;
};

std::ostream &operator<<(std::ostream &os, const RecordingBusServer::PinWrite &w);
