#include "support/otheruser.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr uid_t nobody = 65534;

// Every folder from the root down to `path` may be passed through by others.
bool othersReach(const QString &path)
{
    QString at = QDir(path).absolutePath();
    for (;;) {
        struct stat st {
        };
        if (::stat(QFile::encodeName(at).constData(), &st) != 0 || !(st.st_mode & S_IXOTH))
            return false;
        if (at == QLatin1String("/"))
            return true;
        at = QFileInfo(at).path();
    }
}

}  // namespace

OtherUser::OtherUser() : root(::geteuid() == 0) {}

QString OtherUser::hand(const QString &file)
{
    if (!root)
        return file;
    if (!folder) {
        // The temporary folder of the tests may itself be closed to others (made with mktemp -d).
        QString parent;
        for (const QString &candidate : {QDir::tempPath(), QStringLiteral("/tmp")}) {
            if (othersReach(candidate)) {
                parent = candidate;
                break;
            }
        }
        EXPECT_FALSE(parent.isEmpty()) << "no temporary folder that nobody can reach";
        if (parent.isEmpty())
            return QString();
        folder.reset(new QTemporaryDir(parent + QStringLiteral("/stm-nobody-XXXXXX")));
        // Mode 0700, now the user's own: nobody else looks in.
        EXPECT_TRUE(folder->isValid() &&
                    ::chown(QFile::encodeName(folder->path()).constData(), nobody, nobody) == 0)
            << folder->path().toStdString();
    }
    const QString copy = folder->filePath(QFileInfo(file).fileName());
    const QByteArray name = QFile::encodeName(copy);
    const bool handed = QFile::copy(file, copy) && ::chown(name.constData(), nobody, nobody) == 0 &&
                        ::chmod(name.constData(), 0400) == 0;
    EXPECT_TRUE(handed) << file.toStdString() << " to " << copy.toStdString();
    return handed ? copy : QString();
}

QStringList OtherUser::command(const QStringList &programAndArguments) const
{
    if (!root)
        return programAndArguments;
    return QStringList{QStandardPaths::findExecutable(QStringLiteral("setpriv")),
                       QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                       QStringLiteral("--clear-groups"), QStringLiteral("--")} +
           programAndArguments;
}
