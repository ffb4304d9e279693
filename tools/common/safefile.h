#pragma once
// Files the tools write, often into folders others share (/tmp, node_exporter's textfile
// folder): each is a new file with its final mode from its creation, never reached through a
// link, and an existing file is never written into: it is left alone, or replaced whole by a new
// file renamed over it. Every result is checked; functions that return a descriptor give -1 with
// errno set on failure, the others the errno that stopped them (0: done).

#include <QByteArray>
#include <QString>

#include <sys/types.h>

namespace SafeFile {

// A new file at `path`, with `mode`; an existing file or a link there is refused (EEXIST).
int createNew(const QString &path, mode_t mode);

// A new file beside `path`, named after it with six random characters (".XXXXXX", so that
// node_exporter's textfile collector, which reads only names ending in .prom, ignores it), with
// `mode`; *temporary is its name.
int createBeside(const QString &path, mode_t mode, QByteArray *temporary);

// A new file made beside `path` and renamed over it at once: `path` now names it, and whatever
// was there before (a file, a link) is replaced, not written into.
int createReplacing(const QString &path, mode_t mode);

// Writes all of `bytes` (through short writes and EINTR).
int writeAll(int fd, const QByteArray &bytes);

// Writes all of `bytes`, puts them on the disk and closes `fd`, which is closed whatever happens.
int finish(int fd, const QByteArray &bytes);

// Replaces `path` with `bytes` at once: a new file beside it with `mode`, written out, then
// renamed over it, so a reader sees the old contents or the new, never half. False with why
// ("cannot create a file beside PATH (...)" or "cannot write PATH (...)"); the old file is then
// left as it was, and nothing else remains.
bool replace(const QString &path, const QByteArray &bytes, mode_t mode, QString *why);

// The text of an errno, for the messages of the tools.
QString reason(int error);

}  // namespace SafeFile
