#include "board/buslock.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

BusLock::~BusLock()
{
    release();
}

bool BusLock::lock(int fd, const QString &bus)
{
    struct flock request;
    std::memset(&request, 0, sizeof request);
    request.l_type = F_WRLCK;
    request.l_whence = SEEK_SET;  // start 0, length 0: the whole file
    heldElsewhere = false;
    why.clear();
    if (::fcntl(fd, F_SETLK, &request) == 0) {
        lockedFd = fd;
        return true;
    }
    const int error = errno;
    if (error != EACCES && error != EAGAIN) {
        why = bus + QStringLiteral(": cannot lock: ") +
              QString::fromLocal8Bit(std::strerror(error));
        return false;
    }
    heldElsewhere = true;
    why = bus + QStringLiteral(" is in use by another driver");
    struct flock holder;
    std::memset(&holder, 0, sizeof holder);
    holder.l_type = F_WRLCK;
    holder.l_whence = SEEK_SET;
    if (::fcntl(fd, F_GETLK, &holder) == 0 && holder.l_type != F_UNLCK && holder.l_pid > 0)
        why += QStringLiteral(" (pid ") + QString::number(holder.l_pid) + QLatin1Char(')');
    return false;
}

bool BusLock::lockFile(const QString &path, const QString &bus)
{
    const QByteArray name = path.toLocal8Bit();
    const int fd = ::open(name.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0664);
    heldElsewhere = false;
    why.clear();
    if (fd < 0) {
        why = bus + QStringLiteral(": cannot open the lock file ") + path + QStringLiteral(": ") +
              QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    if (!lock(fd, bus)) {
        ::close(fd);
        return false;
    }
    ownFd = fd;
    return true;
}

void BusLock::release()
{
    if (ownFd >= 0) {
        ::close(ownFd);  // closing any descriptor of the file drops the process's lock
    } else if (lockedFd >= 0) {
        struct flock request;
        std::memset(&request, 0, sizeof request);
        request.l_type = F_UNLCK;
        request.l_whence = SEEK_SET;
        ::fcntl(lockedFd, F_SETLK, &request);
    }
    ownFd = -1;
    lockedFd = -1;
}
