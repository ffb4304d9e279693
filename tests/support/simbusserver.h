#pragma once
// The simulator's side of the simulated bus for tests: listens on a Unix socket, accepts one
// driver, and plays the driver's pin writes and SPI transfers on an EmulatedBoard whose shields
// are ShieldModels. Serves in a thread of its own; the models are thread-safe.

#include "link/emulatedboard.h"

#include <QString>

#include <atomic>
#include <thread>

class SimbusServer
{
public:
    // Listens at once at a fresh path in a temporary folder; selectLevel as EmulatedBoard.
    explicit SimbusServer(int selectLevel = -1);
    ~SimbusServer();

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
    std::thread worker;
};
