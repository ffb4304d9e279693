#include "audio/udpwrite.h"

#include "base/console.h"

#include <QHostAddress>

#include <cstdlib>

UdpWrite::UdpWrite(QObject *parent, const QList<quint16> &ports) : QObject(parent), ports(ports)
{
    if (ports.size() < maxShields) {
        Console::err.line(
            QStringLiteral("#ERROR: Количество заданных портов не соответствует шилдам!"));
        std::exit(1);
    }
}

void UdpWrite::write(quint8 addressShield, QByteArray data)
{
    if (addressShield >= maxShields)
        return;
    // No listener or a full buffer only loses this block; the host gets the next one.
    sockets[addressShield].writeDatagram(data, QHostAddress(QHostAddress::LocalHost),
                                         ports.at(addressShield));
}
