#include "audio/udpwrite.h"

#include "base/console.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

UdpWrite::UdpWrite(QObject *parent, const QList<quint16> &ports) : QObject(parent)
{
    sockets.fill(-1);
    if (ports.size() < maxShields) {
        Console::err.line(
            QStringLiteral("#ERROR: Количество заданных портов не соответствует шилдам!"));
        std::exit(1);
    }
    for (int i = 0; i < maxShields; ++i) {
        sockaddr_in &to = destinations[static_cast<size_t>(i)];
        to.sin_family = AF_INET;
        to.sin_port = htons(ports.at(i));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            Console::err.line(QStringLiteral("#ERROR: UDP audio to port %1: no socket (%2): "
                                             "shield %3's audio does not reach the host")
                                  .arg(ports.at(i))
                                  .arg(QString::fromLocal8Bit(std::strerror(errno)))
                                  .arg(i));
        }
        sockets[static_cast<size_t>(i)] = fd;
    }
}

UdpWrite::~UdpWrite()
{
    for (int fd : sockets) {
        if (fd >= 0)
            ::close(fd);
    }
}

void UdpWrite::write(quint8 addressShield, QByteArray data)
{
    if (addressShield >= maxShields || sockets[addressShield] < 0)
        return;
    // Nobody listening, or a full buffer, loses only this block; the host gets the next one.
    const sockaddr_in &to = destinations[addressShield];
    (void)::sendto(sockets[addressShield], data.constData(), static_cast<size_t>(data.size()),
                   MSG_DONTWAIT | MSG_NOSIGNAL, reinterpret_cast<const sockaddr *>(&to), sizeof to);
}
