#pragma once
// Files stm-flash writes (--read, --backup): new files only. An existing file is never
// overwritten and a link never followed; the mode is final at creation, and the data is on the
// disk before success is told.

#include <QByteArray>
#include <QString>

namespace StmFlash {

// Creates `path`; false with *error ("cannot create PATH: reason").
bool createNewFile(const QString &path, int *fd, QString *error);
// Writes `bytes` into the new file, to the disk, and closes it; false with *error.
bool finishNewFile(const QString &path, int fd, const QByteArray &bytes, QString *error);

}  // namespace StmFlash
