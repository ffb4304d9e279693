#include "support/consolecapture.h"

#include <unistd.h>

namespace {
// A write holds one line or a block of lines; each ends with an end-of-line.
QStringList linesOf(const QByteArray &bytes)
{
    QStringList lines = QString::fromUtf8(bytes).split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}
}  // namespace

std::thread readPipeInto(int fd, std::string &into)
{
    return std::thread([fd, &into] {
        char buffer[65536];
        ssize_t n;
        while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
            into.append(buffer, static_cast<size_t>(n));
    });
}

void PrintTo(const QString &text, std::ostream *os)
{
    *os << '"' << text.toStdString() << '"';
}

std::ostream &operator<<(std::ostream &os, const QString &text)
{
    return os << text.toStdString();
}

ConsoleCapture::ConsoleCapture()
{
    Console::out.setSink([this](const QByteArray &b) {
        std::lock_guard<std::mutex> lock(mutex);
        outLines << linesOf(b);
    });
    Console::err.setSink([this](const QByteArray &b) {
        std::lock_guard<std::mutex> lock(mutex);
        errLines << linesOf(b);
    });
}

ConsoleCapture::~ConsoleCapture()
{
    Console::out.setSink(nullptr);
    Console::err.setSink(nullptr);
}

// A copy that shares no data with the lines the writers keep appending to.
QStringList ConsoleCapture::deepCopy(const QStringList &lines)
{
    QStringList copy;
    copy.reserve(lines.size());
    for (const QString &line : lines)
        copy << QString(line.constData(), line.size());
    return copy;
}

QStringList ConsoleCapture::out() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return deepCopy(outLines);
}

QStringList ConsoleCapture::err() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return deepCopy(errLines);
}

void ConsoleCapture::clear()
{
    std::lock_guard<std::mutex> lock(mutex);
    outLines.clear();
    errLines.clear();
}
