#pragma once
// A tool's own lines: what it prints for its user on standard output, written out at once, and
// its complaints on standard error, each after the tool's name ("stm-status: ...").

#include <QString>

namespace Say {

// The name before every complaint; set once, at the start of main().
void setProgram(const char *name);

// `text` on standard output as it is, flushed.
void out(const QString &text);

// "NAME: text" on standard error; returns 1, the exit status of a failure.
int fail(const QString &text);

}  // namespace Say
