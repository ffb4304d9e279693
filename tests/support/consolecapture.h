#pragma once
// Captures the lines written to Console::out and Console::err while it lives, for tests.

#include "base/console.h"

#include <QString>
#include <QStringList>

#include <mutex>
#include <ostream>
#include <string>
#include <thread>

// Readable test failure messages for texts.
void PrintTo(const QString &text, std::ostream *os);
std::ostream &operator<<(std::ostream &os, const QString &text);

// Reads a pipe's read end `fd` in a thread of its own until every write end is closed, appending
// what comes to `into`. Join the thread before looking at `into`.
std::thread readPipeInto(int fd, std::string &into);

class ConsoleCapture
{
public:
    ConsoleCapture();
    ~ConsoleCapture();
    ConsoleCapture(const ConsoleCapture &) = delete;
    ConsoleCapture &operator=(const ConsoleCapture &) = delete;

    // Lines written so far, without their end-of-line.
    QStringList out() const;
    QStringList err() const;
    // Forgets what was captured so far.
    void clear();

private:
    static QStringList deepCopy(const QStringList &lines);

    mutable std::mutex mutex;
    QStringList outLines;
    QStringList errLines;
};
