#include "board/boardsimbus.h"

#include "base/console.h"

#include <QByteArray>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

BoardSimbus::BoardSimbus(const QString &socketPath) : path(socketPath)
{
    timerPeriodUs = 16000;
    // A reserved array keeps its buffer when emptied, so a long packet's message needs none.
    outgoing.reserve(1024);
}

BoardSimbus::~BoardSimbus()
{
    lib_deinit();
}

QString BoardSimbus::lockPath(const QString &socketPath)
{
    return socketPath + QStringLiteral(".lock");
}

void BoardSimbus::lib_deinit()
{
    if (watcher.joinable()) {
        const char wake = 0;
        while (::write(wakeWrite, &wake, 1) < 0 && errno == EINTR) {
        }
        watcher.join();
    }
    {
        // Under the lock: a transfer still in exchange() finishes first, later ones see no bus.
        std::lock_guard<PiMutex> lock(mutex);
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
    for (int *f : {&wakeRead, &wakeWrite}) {
        if (*f >= 0)
            ::close(*f);
        *f = -1;
    }
    busLock.release();
}

void BoardSimbus::lib_init()
{
    if (fd >= 0)
        return;  // already connected
    const QByteArray name = path.toLocal8Bit();
    sockaddr_un address;
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    const char *problem = nullptr;
    if (name.isEmpty())
        problem = "no socket path after -simbus";
    else if (static_cast<size_t>(name.size()) >= sizeof address.sun_path)
        problem = "socket path too long";
    // Before anything is sent: a second driver on this bus would garble both.
    if (!problem &&
        !busLock.lockFile(lockPath(path),
                          QStringLiteral("simulated bus \"") + path + QLatin1Char('"')) &&
        busLock.busy()) {
        Console::err.line(QStringLiteral("#ERROR: ") + busLock.problem() +
                          QStringLiteral("; one driver per bus, exiting"));
        std::exit(1);
    }
    int s = -1;
    if (!problem) {
        std::memcpy(address.sun_path, name.constData(), static_cast<size_t>(name.size()));
        s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (s < 0 || ::connect(s, reinterpret_cast<sockaddr *>(&address), sizeof address) < 0)
            problem = std::strerror(errno);
    }
    int wake[2] = {-1, -1};
    if (!problem && ::pipe2(wake, O_CLOEXEC) < 0)
        problem = std::strerror(errno);
    if (problem) {
        if (s >= 0)
            ::close(s);
        Console::err.line(QStringLiteral("#ERROR: simulated bus: cannot connect to \"") + path +
                          QStringLiteral("\": ") + QString::fromLocal8Bit(problem));
        std::exit(1);
    }
    if (!busLock.busy() && !busLock.problem().isEmpty()) {
        // A directory we may not write to: the bus still works, unguarded.
        Console::err.line(QStringLiteral("#WARNING: ") + busLock.problem() +
                          QStringLiteral("; a second driver on this bus would not be noticed"));
    }
    {
        std::lock_guard<PiMutex> lock(mutex);
        fd = s;
    }
    wakeRead = wake[0];
    wakeWrite = wake[1];
    watcher = std::thread(&BoardSimbus::watch, this);
}

void BoardSimbus::appendGpio(QByteArray &message, quint8 pin, quint8 level)
{
    message.append(messageGpio);
    message.append(static_cast<char>(pin));
    message.append(static_cast<char>(level));
}

void BoardSimbus::appendSpi(QByteArray &message, const quint8 *buffer, quint16 length)
{
    message.append(messageSpi);
    message.append(static_cast<char>(length & 0xFF));
    message.append(static_cast<char>(length >> 8));
    message.append(reinterpret_cast<const char *>(buffer), length);
}

void BoardSimbus::digitalWrite(quint8 pin, quint8 level)
{
    {
        std::lock_guard<PiMutex> lock(deferredMutex);
        appendGpio(deferred, pin, level);
        hasDeferred = true;
    }
    // The socket is free: send it now. Taken: its holder sends it before it lets go, or right
    // after (letGo), so the write never waits for a transfer on the bus.
    if (mutex.try_lock()) {
        sendDeferred();
        mutex.unlock();
        letGo();
    }
}

void BoardSimbus::sendDeferred()
{
    if (!hasDeferred)
        return;
    QByteArray messages;
    {
        std::lock_guard<PiMutex> lock(deferredMutex);
        messages.swap(deferred);
        hasDeferred = false;
    }
    exchange(messages.constData(), static_cast<size_t>(messages.size()), nullptr, 0);
}

void BoardSimbus::letGo()
{
    // A write that found the socket taken after this thread's last sendDeferred() is sent here:
    // it was queued before its try_lock failed, and that failure came before this unlock.
    while (hasDeferred && mutex.try_lock()) {
        sendDeferred();
        mutex.unlock();
    }
}

void BoardSimbus::spi_transfer(quint8 *buffer, quint8 *received, quint16 length)
{
    transferMessage(-1, 0, 0, buffer, received, length);
}

void BoardSimbus::spi_exchange(quint8 shield, quint8 select, quint8 release, quint8 *buffer,
                               quint8 *received, quint16 length)
{
    if (shield >= maxShields) {
        PinBoard::spi_exchange(shield, select, release, buffer, received, length);
        return;
    }
    transferMessage(pinChipSelect[shield], select, release, buffer, received, length);
}

void BoardSimbus::transferMessage(int pin, quint8 select, quint8 release, quint8 *buffer,
                                  quint8 *received, quint16 length)
{
    {
        std::lock_guard<PiMutex> lock(mutex);
        sendDeferred();      // pin writes queued before this transfer go first
        outgoing.resize(0);  // keeps its capacity: no allocation per transfer once it has grown
        if (pin >= 0)
            appendGpio(outgoing, static_cast<quint8>(pin), select);
        appendSpi(outgoing, buffer, length);
        if (pin >= 0)
            appendGpio(outgoing, static_cast<quint8>(pin), release);
        exchange(outgoing.constData(), static_cast<size_t>(outgoing.size()), buffer, length);
        sendDeferred();
    }
    letGo();
    if (length > 0)
        std::memcpy(received, buffer, length);
}

void BoardSimbus::exchange(const char *data, size_t length, quint8 *reply, size_t replyLength)
{
    if (fd < 0) {
        // Not connected (yet or any more): no shield answers.
        if (replyLength > 0)
            std::memset(reply, 0, replyLength);
        return;
    }
    while (length > 0) {
        const ssize_t n = ::send(fd, data, length, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            busLost("write failed");
        data += n;
        length -= static_cast<size_t>(n);
    }
    while (replyLength > 0) {
        const ssize_t n = ::recv(fd, reply, replyLength, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            busLost(n == 0 ? "closed by the simulator" : "read failed");
        reply += n;
        replyLength -= static_cast<size_t>(n);
    }
}

void BoardSimbus::watch()
{
    ::pthread_setname_np(::pthread_self(), "stm-buswatch");
    // Only a hang-up is asked for: reply bytes are the transfers' business, not the watcher's.
    pollfd watched[2] = {{fd, POLLRDHUP, 0}, {wakeRead, POLLIN, 0}};
    for (;;) {
        if (::poll(watched, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (watched[1].revents)
            return;  // the board is being destroyed
        if (watched[0].revents & (POLLRDHUP | POLLHUP | POLLERR))
            busLost("closed by the simulator");
    }
}

void BoardSimbus::busLost(const char *what)
{
    if (lost.exchange(true)) {
        // Another thread is already ending the process.
        for (;;)
            ::pause();
    }
    Console::err.line(QStringLiteral("#ERROR: simulated bus lost (") + QLatin1String(what) +
                      QStringLiteral("); nothing can be driven, exiting"));
    // Other threads may be inside the board or the console; end without running static
    // destructors under them, once the lines so far are out (a host that reads nothing any more
    // is not waited for long).
    Console::flushAll(std::chrono::seconds(1));
    ::_exit(1);
}
