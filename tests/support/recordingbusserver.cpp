#include "support/recordingbusserver.h"

#include <QDir>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

void sendAll(int fd, const QByteArray &bytes)
{
    const char *data = bytes.constData();
    size_t left = static_cast<size_t>(bytes.size());
    while (left > 0) {
        const ssize_t n = ::send(fd, data, left, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        data += n;
        left -= static_cast<size_t>(n);
    }
}

}  // namespace

RecordingBusServer::RecordingBusServer(const QString &directory)
{
    if (directory.isEmpty()) {
        ownDir = std::make_unique<QTemporaryDir>(QDir::tempPath() +
                                                 QStringLiteral("/busrec-XXXXXX"));
        socketPath = ownDir->filePath(QStringLiteral("bus"));
    } else {
        socketPath = QDir(directory).filePath(QStringLiteral("bus-%1").arg(::getpid()));
    }
    const QByteArray name = socketPath.toLocal8Bit();
    sockaddr_un address;
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (static_cast<size_t>(name.size()) >= sizeof address.sun_path)
        return;
    std::memcpy(address.sun_path, name.constData(), static_cast<size_t>(name.size()));
    const int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int pipeFds[2];
    if (s < 0 || ::bind(s, reinterpret_cast<sockaddr *>(&address), sizeof address) < 0 ||
        ::listen(s, 4) < 0 || ::pipe2(pipeFds, O_CLOEXEC) < 0) {
        if (s >= 0)
            ::close(s);
        return;
    }
    listenFd = s;
    wakeRead = pipeFds[0];
    wakeWrite = pipeFds[1];
    thread = std::thread(&RecordingBusServer::serve, this);
}

RecordingBusServer::~RecordingBusServer()
{
    if (thread.joinable()) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stopping = true;
        }
        wake();
        thread.join();
    }
    for (int f : {clientFd, listenFd, wakeRead, wakeWrite}) {
        if (f >= 0)
            ::close(f);
    }
    if (listenFd >= 0)
        ::unlink(socketPath.toLocal8Bit().constData());
}

void RecordingBusServer::setReplyHandler(ReplyHandler newHandler)
{
    std::lock_guard<std::mutex> lock(mutex);
    handler = std::move(newHandler);
}

QList<RecordingBusServer::Message> RecordingBusServer::messages() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return recorded;
}

QList<RecordingBusServer::PinWrite> RecordingBusServer::pinWrites() const
{
    QList<PinWrite> result;
    for (const Message &m : messages()) {
        if (m.kind == 'G')
            result << PinWrite{m.pin, m.level};
    }
    return result;
}

QList<QByteArray> RecordingBusServer::transfers() const
{
    QList<QByteArray> result;
    for (const Message &m : messages()) {
        if (m.kind == 'S')
            result << m.bytes;
    }
    return result;
}

int RecordingBusServer::connections() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return accepted;
}

bool RecordingBusServer::protocolError() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return badStream;
}

template <typename Pred>
bool RecordingBusServer::waitFor(int timeoutMs, Pred pred) const
{
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), pred);
}

bool RecordingBusServer::waitForConnection(int timeoutMs) const
{
    return waitFor(timeoutMs, [this] { return accepted > 0; });
}

bool RecordingBusServer::waitForMessages(int count, int timeoutMs) const
{
    return waitFor(timeoutMs, [this, count] { return recorded.size() >= count; });
}

bool RecordingBusServer::waitForPinWrites(int count, int timeoutMs) const
{
    return waitFor(timeoutMs, [this, count] {
        int n = 0;
        for (const Message &m : recorded) {
            if (m.kind == 'G')
                ++n;
        }
        return n >= count;
    });
}

void RecordingBusServer::closeClient()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        closeRequested = true;
    }
    wake();
    waitFor(10000, [this] { return !closeRequested; });
}

void RecordingBusServer::wake()
{
    const char byte = 0;
    while (::write(wakeWrite, &byte, 1) < 0 && errno == EINTR) {
    }
}

void RecordingBusServer::serve()
{
    for (;;) {
        int client;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (stopping)
                return;
            client = clientFd;
        }
        pollfd fds[2] = {{wakeRead, POLLIN, 0}, {client >= 0 ? client : listenFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[0].revents) {
            char drain[16];
            (void)!::read(wakeRead, drain, sizeof drain);
            std::lock_guard<std::mutex> lock(mutex);
            if (stopping)
                return;
            if (closeRequested) {
                if (clientFd >= 0)
                    ::close(clientFd);
                clientFd = -1;
                input.clear();
                closeRequested = false;
                changed.notify_all();
            }
            continue;
        }
        if (!fds[1].revents)
            continue;
        if (client < 0) {
            const int c = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (c >= 0) {
                std::lock_guard<std::mutex> lock(mutex);
                clientFd = c;
                ++accepted;
                changed.notify_all();
            }
            continue;
        }
        char chunk[4096];
        const ssize_t n = ::recv(client, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            // The driver has gone: wait for the next one.
            std::lock_guard<std::mutex> lock(mutex);
            ::close(clientFd);
            clientFd = -1;
            input.clear();
            continue;
        }
        input.append(chunk, static_cast<int>(n));
        parse();
    }
}

void RecordingBusServer::parse()
{
    for (;;) {
        if (input.isEmpty())
            return;
        const char kind = input.at(0);
        Message m(kind);
        int size = 0;
        if (kind == 'G') {
            if (input.size() < 3)
                return;
            m.pin = static_cast<quint8>(input.at(1));
            m.level = static_cast<quint8>(input.at(2));
            size = 3;
        } else if (kind == 'S') {
            if (input.size() < 3)
                return;
            const int length =
                static_cast<quint8>(input.at(1)) | (static_cast<quint8>(input.at(2)) << 8);
            if (input.size() < 3 + length)
                return;
            m.bytes = input.mid(3, length);
            size = 3 + length;
        } else {
            std::lock_guard<std::mutex> lock(mutex);
            badStream = true;
            input.clear();
            changed.notify_all();
            return;
        }
        input.remove(0, size);
        ReplyHandler answerer;
        int client;
        {
            // Recorded before the reply goes out: a driver whose transfer has returned finds
            // it here.
            std::lock_guard<std::mutex> lock(mutex);
            recorded << m;
            answerer = handler;
            client = clientFd;
        }
        changed.notify_all();
        if (kind == 'S') {
            QByteArray answer = answerer ? answerer(m.bytes) : QByteArray();
            answer = answer.left(m.bytes.size());
            answer.append(QByteArray(m.bytes.size() - answer.size(), '\0'));
            sendAll(client, answer);
        }
    }
}

std::ostream &operator<<(std::ostream &os, const RecordingBusServer::PinWrite &w)
{
    return os << "G " << int(w.pin) << "=" << int(w.level);
}
