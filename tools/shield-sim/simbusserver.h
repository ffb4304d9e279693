#pragma once
// The simulator's side of the simulated bus: listens on a Unix socket, accepts one driver at a
// time, and plays the driver's pin writes and SPI transfers on an EmulatedBoard whose shields are
// ShieldModels. Serves in a thread of its own; the models are thread-safe.

#include "link/emulatedboard.h"

#include <QString>

#include <atomic>
#include <functional>
#include <thread>

class SimbusServer
{
public:
    // Listens at once at `path` (a fresh path in the temporary folder when empty); selectLevel
    // as EmulatedBoard. listening() tells whether that worked.
    explicit SimbusServer(int selectLevel = -1, const QString &path = QString());
    ~SimbusServer();

    bool listening() const { return listenFd >= 0; }
    // Called from the serving thread when a driver connects (true) or goes (false).
    void setConnectionObserver(std::function<void(bool)> observer) { connectionObserver = observer; }

    QString path() const { return socketPath; }
    EmulatedBoard &board() { return emulated; }
    bool connected() const { return clientFd.load() >= 0; }
    // Drops the driver's connection (the bus is gone).
    void disconnectClient();

private:
    void serve();
    bool readAll(int fd, char *data, size_t length);

    EmulatedBoard emulated;
    QString socketPath;
    int listenFd = -1;
    std::atomic<int> clientFd{-1};
    std::atomic<bool> stopping{false};
    std::function<void(bool)> connectionObserver;
    std::thread worker;
};
