#include "shield-sim/simbusserver.h"

#include <QByteArray>
#include <QDir>
#include <QTemporaryDir>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {
int counter = 0;
}

SimbusServer::SimbusServer(int selectLevel, const QString &path, TransferObserver transferObserver)
    : emulated(selectLevel), transferObserver(std::move(transferObserver))
{
    emulated.setDelayScale(0.0);
    socketPath = !path.isEmpty() ? path
                                 : QDir::tempPath() + QStringLiteral("/stm-simbus-%1-%2.sock")
                                                          .arg(::getpid())
                                                          .arg(++counter);
    const QByteArray name = socketPath.toLocal8Bit();
    sockaddr_un address;
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (static_cast<size_t>(name.size()) < sizeof address.sun_path) {
        std::memcpy(address.sun_path, name.constData(), static_cast<size_t>(name.size()));
        ::unlink(name.constData());
        listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (listenFd >= 0 &&
            (::bind(listenFd, reinterpret_cast<sockaddr *>(&address), sizeof address) < 0 ||
             ::listen(listenFd, 1) < 0)) {
            ::close(listenFd);
            listenFd = -1;
        }
    }
    if (listenFd >= 0)
        worker = std::thread([this] { serve(); });
}

SimbusServer::~SimbusServer()
{
    stopping = true;
    disconnectClient();
    if (listenFd < 0)
        return;
    ::shutdown(listenFd, SHUT_RDWR);
    worker.join();
    ::close(listenFd);
    ::unlink(socketPath.toLocal8Bit().constData());
}

void SimbusServer::disconnectClient()
{
    // Only wakes the serving thread, which closes the socket itself: closing it here while that
    // thread still reads from it could let a new descriptor take its number under the reader.
    std::lock_guard<std::mutex> lock(clientMutex);
    const int fd = clientFd.exchange(-1);
    if (fd >= 0)
        ::shutdown(fd, SHUT_RDWR);
}

void SimbusServer::tellConnection(bool connected)
{
    std::function<void(bool)> observer;
    {
        std::lock_guard<std::mutex> lock(observerMutex);
        observer = connectionObserver;
    }
    if (observer)
        observer(connected);
}

bool SimbusServer::readAll(int fd, char *data, size_t length)
{
    while (length > 0) {
        const ssize_t n = ::recv(fd, data, length, 0);
        if (n <= 0)
            return false;
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

void SimbusServer::holdForBusTime(std::chrono::steady_clock::time_point arrived,
                                  quint16 length) const
{
    const quint32 hz = busHz;
    if (hz == 0 || length == 0)
        return;
    const auto busTime = std::chrono::nanoseconds(uint64_t(length) * 8 * 1000000000 / hz);
    const auto end = std::chrono::time_point_cast<std::chrono::nanoseconds>(arrived + busTime);
    const int64_t ns = end.time_since_epoch().count();
    // The steady clock is CLOCK_MONOTONIC; an absolute wait does not add the wake-up's own delay
    // to the next transfer's.
    const timespec at{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
    }
}

void SimbusServer::serve()
{
    // Named, so that a bench can give the bus itself a priority of its own.
    ::pthread_setname_np(::pthread_self(), "simbus-serve");
    while (!stopping) {
        pollfd p{listenFd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        const int fd = ::accept(listenFd, nullptr, nullptr);
        if (fd < 0)
            continue;
        {
            // Under the lock, so that a server being destroyed either finds this socket to shut
            // down or is seen here as stopping.
            std::lock_guard<std::mutex> lock(clientMutex);
            if (stopping) {
                ::close(fd);
                break;
            }
            clientFd = fd;
        }
        tellConnection(true);
        for (;;) {
            char type = 0;
            if (!readAll(fd, &type, 1))
                break;
            if (type == 'G') {
                char pinLevel[2];
                if (!readAll(fd, pinLevel, 2))
                    break;
                emulated.setLine(static_cast<quint8>(pinLevel[0]), static_cast<quint8>(pinLevel[1]));
            } else if (type == 'S') {
                unsigned char lengthBytes[2];
                if (!readAll(fd, reinterpret_cast<char *>(lengthBytes), 2))
                    break;
                const quint16 length = static_cast<quint16>(lengthBytes[0] | lengthBytes[1] << 8);
                QByteArray data(length, '\0');
                if (length > 0 && !readAll(fd, data.data(), length))
                    break;
                const auto arrived = std::chrono::steady_clock::now();
                QByteArray reply(length, '\0');
                if (transferObserver) {
                    // The driver's own bytes: spi_transfer overwrites its buffer with the reply.
                    const QByteArray sent = data;
                    const int shield = emulated.selectedShield();
                    emulated.spi_transfer(reinterpret_cast<quint8 *>(data.data()),
                                          reinterpret_cast<quint8 *>(reply.data()), length);
                    transferObserver({arrived, shield,
                                      reinterpret_cast<const quint8 *>(sent.constData()),
                                      reinterpret_cast<const quint8 *>(reply.constData()), length});
                } else {
                    emulated.spi_transfer(reinterpret_cast<quint8 *>(data.data()),
                                          reinterpret_cast<quint8 *>(reply.data()), length);
                }
                holdForBusTime(arrived, length);
                if (length > 0 && ::send(fd, reply.constData(), length, MSG_NOSIGNAL) != length)
                    break;
            } else {
                break;  // not the driver's protocol
            }
        }
        {
            std::lock_guard<std::mutex> lock(clientMutex);
            clientFd = -1;
            ::close(fd);
        }
        tellConnection(false);
    }
}
