#include "common/safefile.h"

#include <QFile>

#include <cerrno>
#include <cstdlib>  // mkostemp
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int SafeFile::createNew(const QString &path, mode_t mode)
{
    return ::open(QFile::encodeName(path).constData(),
                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
}

int SafeFile::createBeside(const QString &path, mode_t mode, QByteArray *temporary)
{
    *temporary = QFile::encodeName(path) + ".XXXXXX";
    const int fd = ::mkostemp(temporary->data(), O_CLOEXEC);  // mode 0600
    if (fd < 0 || mode == 0600 || ::fchmod(fd, mode) == 0)
        return fd;
    const int error = errno;
    ::close(fd);
    ::unlink(temporary->constData());
    errno = error;
    return -1;
}

int SafeFile::createReplacing(const QString &path, mode_t mode)
{
    QByteArray temporary;
    const int fd = createBeside(path, mode, &temporary);
    if (fd < 0 || ::rename(temporary.constData(), QFile::encodeName(path).constData()) == 0)
        return fd;
    const int error = errno;
    ::close(fd);
    ::unlink(temporary.constData());
    errno = error;
    return -1;
}

int SafeFile::writeAll(int fd, const QByteArray &bytes)
{
    for (qint64 done = 0; done < bytes.size();) {
        const ssize_t n =
            ::write(fd, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (n > 0)
            done += n;
        else if (n == 0 || errno != EINTR)
            return n == 0 ? EIO : errno;
    }
    return 0;
}

int SafeFile::finish(int fd, const QByteArray &bytes)
{
    int error = writeAll(fd, bytes);
    if (error == 0 && ::fsync(fd) != 0)
        error = errno;
    if (::close(fd) != 0 && error == 0)
        error = errno;
    return error;
}

bool SafeFile::replace(const QString &path, const QByteArray &bytes, mode_t mode, QString *why)
{
    QByteArray temporary;
    const int fd = createBeside(path, mode, &temporary);
    if (fd < 0) {
        *why = QStringLiteral("cannot create a file beside ") + path + QStringLiteral(" (") +
               reason(errno) + QLatin1Char(')');
        return false;
    }
    int error = finish(fd, bytes);
    if (error == 0 && ::rename(temporary.constData(), QFile::encodeName(path).constData()) != 0)
        error = errno;
    if (error == 0)
        return true;
    ::unlink(temporary.constData());
    *why = QStringLiteral("cannot write ") + path + QStringLiteral(" (") + reason(error) +
           QLatin1Char(')');
    return false;
}

QString SafeFile::reason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}
