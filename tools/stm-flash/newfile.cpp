#include "stm-flash/newfile.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace StmFlash {

bool createNewFile(const QString &path, int *fd, QString *error)
{
    *fd = ::open(QFile::encodeName(path).constData(),
                 O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (*fd >= 0)
        return true;
    *error = QStringLiteral("cannot create %1: %2")
                 .arg(path, QString::fromLocal8Bit(std::strerror(errno)));
    return false;
}

bool finishNewFile(const QString &path, int fd, const QByteArray &bytes, QString *error)
{
    qint64 done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += n;
    }
    const int problem = done < bytes.size() ? errno : (::fsync(fd) != 0 ? errno : 0);
    if (::close(fd) == 0 && problem == 0)
        return true;
    *error = QStringLiteral("cannot write %1: %2")
                 .arg(path, QString::fromLocal8Bit(std::strerror(problem ? problem : errno)));
    return false;
}

}  // namespace StmFlash
