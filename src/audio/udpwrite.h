#pragma once
// Sends each shield's line audio to the host as UDP datagrams on the loop-back address. Made by
// the main thread; write() may be called from any thread and never waits: the transfer thread
// calls it at the end of each shield's exchange, so a block leaves as soon as it is off the bus,
// without waiting for the rest of the cycle or for the main thread's event loop. Each shield's
// socket is non-blocking, and a datagram the system cannot take at once is dropped (loop-back
// delivery does not wait for the host to read).

#include "base/shieldcount.h"

#include <QByteArray>
#include <QList>
#include <QObject>

#include <array>

#include <netinet/in.h>

class UdpWrite : public QObject
{
    Q_OBJECT
public:
    // ports[i] is the host's audio port of shield i. With fewer than six ports the process ends
    // with exit status 1 after an error line on the diagnostic log; entries past the sixth are
    // never used. A socket the system refuses is said once on standard error; that shield's
    // audio then goes nowhere.
    UdpWrite(QObject *parent, const QList<quint16> &ports);
    ~UdpWrite() override;

public Q_SLOTS:
    // Sends data unchanged as one datagram to 127.0.0.1 at the shield's port, from any thread,
    // without blocking and without allocating. Addresses above 5 are ignored; a send that fails
    // (nobody listening, buffers full) is dropped silently, the next block follows anyway.
    void write(quint8 addressShield, QByteArray data);

private:
    std::array<int, maxShields> sockets{};  // never bound: the system picks the source port
    std::array<sockaddr_in, maxShields> destinations{};
};
