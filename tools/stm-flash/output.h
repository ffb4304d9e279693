#pragma once
// What stm-flash tells: what it found and did on standard output, failures on standard error.

#include <QString>
#include <QtGlobal>

namespace StmFlash {

// One line on standard output, flushed at once (a technician watches it happen).
void say(const QString &text);
// "stm-flash: TEXT" on standard error; returns the exit status of a failure, 1.
int fail(const QString &text);
// "64 KiB", or "1000 bytes" when not whole KiB.
QString kib(qint64 bytes);

}  // namespace StmFlash
