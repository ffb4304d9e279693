#pragma once
// The simulated bus: every pin write and shield SPI transfer goes as a message over a Unix-domain
// stream socket to a simulator that plays the shields. Called from the transfer thread and the
// main thread; one mutex serialises the socket, so a message is always sent whole and a
// transfer's request and reply are never split by another message. A pin write that finds a
// transfer on the socket does not wait for it: the transfer's thread sends it right after, in
// order with every other message. A watcher thread of its own notices when the simulator goes
// away while nothing is being sent.

#include "base/pimutex.h"
#include "board/buslock.h"
#include "board/pinboard.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <thread>

class BoardSimbus : public PinBoard
{
public:
    explicit BoardSimbus(const QString &socketPath);
    ~BoardSimbus() override;
    BoardSimbus(const BoardSimbus &) = delete;
    BoardSimbus &operator=(const BoardSimbus &) = delete;

    // Takes the bus for this driver alone (a record lock on lockPath()), connects to the
    // simulator and starts watching the connection. A bus held by another driver or a failure
    // to connect ends the process with status 1; so does the simulator closing the connection
    // at any time later (lib_deinit first to let go of the simulator quietly).
    void lib_init() override;
    // Closes the connection and lets go of the bus, without the "bus lost" exit; pin writes
    // then send nothing and transfers give zeros.
    void lib_deinit() override;
    void spi_transfer(quint8 *buffer, quint8 *received, quint16 length) override;
    // The select, the transfer and the release as one write to the socket: one hand-over to the
    // simulator per shield and cycle instead of three, the messages and their order unchanged.
    void spi_exchange(quint8 shield, quint8 select, quint8 release, quint8 *buffer,
                      quint8 *received, quint16 length) override;

    // The lock file that stands for the bus: a socket file cannot be opened to lock it.
    static QString lockPath(const QString &socketPath);
    // The alternative SPI interface is not simulated: nothing is sent and nothing received.
    void spi1_transfer(quint8 *, quint8 *, quint16) override {}

    static constexpr char messageGpio = 'G';
    static constexpr char messageSpi = 'S';

protected:
    void pinMode(quint8) override {}
    void digitalWrite(quint8 pin, quint8 level) override;

private:
    // One transfer as one write to the socket, framed by the chip select's two levels when pin
    // is one (>= 0); queued pin writes go before and after it.
    void transferMessage(int pin, quint8 select, quint8 release, quint8 *buffer, quint8 *received,
                         quint16 length);
    // With mutex held: sends the queued pin writes.
    void sendDeferred();
    // After letting go of mutex: sends pin writes queued meanwhile, if the socket is free.
    void letGo();
    // Appends one message to `message`.
    static void appendGpio(QByteArray &message, quint8 pin, quint8 level);
    static void appendSpi(QByteArray &message, const quint8 *buffer, quint16 length);
    // Sends all bytes, then reads `replyLength` bytes into reply; ends the process when the
    // simulator is gone. Called with the mutex held.
    void exchange(const char *data, size_t length, quint8 *reply, size_t replyLength);
    // Watcher thread: waits for the simulator to hang up (or for the destructor's wake-up).
    void watch();
    // Writes the one "#ERROR" line and ends the process; a second caller just waits for the end.
    [[noreturn]] void busLost(const char *what);

    QString path;
    BusLock busLock;
    // Both locks are priority-inheriting: the transfer thread may run at real-time priority.
    PiMutex mutex;        // guards fd writes: one whole message (and its reply) at a time
    QByteArray outgoing;  // guarded by mutex: the message being sent
    // Pin writes of threads that found the socket taken, in order; sent by whoever holds it.
    PiMutex deferredMutex;  // guards deferred; taken inside mutex, never the other way round
    QByteArray deferred;
    std::atomic<bool> hasDeferred{false};
    int fd = -1;  // set by lib_init before the watcher starts, closed after it ends
    int wakeRead = -1, wakeWrite = -1;  // the destructor's wake-up of the watcher
    std::thread watcher;
    std::atomic<bool> lost{false};  // the first thread to find the bus gone reports it
};
