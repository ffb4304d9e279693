#pragma once
// The simulated bus: every pin write and shield SPI transfer goes as a message over a Unix-domain
// stream socket to a simulator that plays the shields. Called from the transfer thread and the
// main thread; one mutex serialises the socket, so a message is always sent whole and a
// transfer's request and reply are never split by another message.

#include "board/pinboard.h"

#include <QString>

#include <mutex>

class BoardSimbus : public PinBoard
{
public:
    explicit BoardSimbus(const QString &socketPath);
    ~BoardSimbus() override;

    // Connects to the simulator; a failure ends the process with status 1.
    void lib_init() override;
    void spi_transfer(quint8 *buffer, quint8 *received, quint16 length) override;
    // The alternative SPI interface is not simulated: nothing is sent and nothing received.
    void spi1_transfer(quint8 *, quint8 *, quint16) override {}

    static constexpr char messageGpio = 'G';
    static constexpr char messageSpi = 'S';

protected:
    void pinMode(quint8) override {}
    void digitalWrite(quint8 pin, quint8 level) override;

private:
    // Sends all bytes, then reads `replyLength` bytes into reply; ends the process when the
    // simulator is gone. Called with the mutex held.
    void exchange(const char *data, size_t length, quint8 *reply, size_t replyLength);
    [[noreturn]] void busLost(const char *what);

    QString path;
    std::mutex mutex;  // guards fd: one whole message (and its reply) at a time
    int fd = -1;
};
