#pragma once
// Sends each shield's line audio to the host as UDP datagrams on the loop-back address. Lives in
// and is called only from the main thread: the transfer thread reaches write() through a queued
// signal, so socket work never enters the transfer cycle.

#include "base/shieldcount.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QUdpSocket>

class UdpWrite : public QObject
{
    Q_OBJECT
public:
    // ports[i] is the host's audio port of shield i. With fewer than six ports the process ends
    // with exit status 1 after an error line on the diagnostic log; entries past the sixth are
    // never used.
    UdpWrite(QObject *parent, const QList<quint16> &ports);

public Q_SLOTS:
    // Sends data unchanged as one datagram to 127.0.0.1 at the shield's port. Addresses above 5
    // are ignored; a send that fails is dropped silently, the next block follows anyway.
    void write(quint8 addressShield, QByteArray data);

private:
    QUdpSocket sockets[maxShields];  // never bound: the system picks the source port
    QList<quint16> ports;
};
