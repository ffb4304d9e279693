#pragma once
// The simulator's side of the simulated bus: listens on a Unix socket, accepts one driver at a
// time, and plays the driver's pin writes and SPI transfers on an EmulatedBoard whose shields are
// ShieldModels. Serves in a thread of its own; the models are thread-safe.

#include "sim/emulatedboard.h"

#include <QString>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>

class SimbusServer
{
public:
    // One SPI transfer as the bus saw it. The byte pointers are valid during the call only.
    struct Transfer {
        std::chrono::steady_clock::time_point at;  // when the driver's request had arrived whole
        int shield;                                // the shield selected then, -1 for none
        const quint8 *sent;                        // what the driver clocked out
        const quint8 *received;                    // what it got back
        quint16 length;
    };
    using TransferObserver = std::function<void(const Transfer &)>;

    // Listens at once at `path` (a fresh path in the temporary folder when empty); selectLevel
    // as EmulatedBoard. listening() tells whether that worked. A transfer observer, when given,
    // is called from the serving thread after every SPI transfer, before the reply goes back, so
    // it must be quick; it is given here because a driver may connect as soon as the socket is
    // there.
    explicit SimbusServer(int selectLevel = -1, const QString &path = QString(),
                          TransferObserver transferObserver = TransferObserver());
    ~SimbusServer();

    bool listening() const { return listenFd >= 0; }
    // Called from the serving thread when a driver connects (true) or goes (false). May be set
    // while the server runs.
    void setConnectionObserver(std::function<void(bool)> observer)
    {
        std::lock_guard<std::mutex> lock(observerMutex);
        connectionObserver = std::move(observer);
    }

    // Holds each SPI reply until the transfer would have ended on a bus of this clock (8 bits per
    // byte, from the moment the request arrived whole); 0 answers at once. Set before a driver
    // connects.
    void setBusHz(quint32 hz) { busHz = hz; }

    QString path() const { return socketPath; }
    EmulatedBoard &board() { return emulated; }
    bool connected() const { return clientFd.load() >= 0; }
    // Drops the driver's connection (the bus is gone).
    void disconnectClient();

private:
    void serve();
    bool readAll(int fd, char *data, size_t length);
    void holdForBusTime(std::chrono::steady_clock::time_point arrived, quint16 length) const;

    EmulatedBoard emulated;
    QString socketPath;
    int listenFd = -1;
    std::mutex clientMutex;  // held while the client socket is taken, shut down or closed
    std::atomic<int> clientFd{-1};
    std::atomic<bool> stopping{false};
    void tellConnection(bool connected);

    std::mutex observerMutex;  // guards connectionObserver, set by the owner's thread
    std::function<void(bool)> connectionObserver;
    const TransferObserver transferObserver;  // fixed before the serving thread starts
    std::atomic<quint32> busHz{0};
    std::thread worker;
};
