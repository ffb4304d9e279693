#include "support/consolecapture.h"

namespace {
QString withoutNewline(const QByteArray &bytes)
{
    QByteArray b = bytes;
    if (b.endsWith('\n'))
        b.chop(1);
    return QString::fromUtf8(b);
}
}  // namespace

ConsoleCapture::ConsoleCapture()
{
    Console::out.setSink([this](const QByteArray &b) {
        std::lock_guard<std::mutex> lock(mutex);
        outLines << withoutNewline(b);
    });
    Console::err.setSink([this](const QByteArray &b) {
        std::lock_guard<std::mutex> lock(mutex);
        errLines << withoutNewline(b);
    });
}

ConsoleCapture::~ConsoleCapture()
{
    Console::out.setSink(nullptr);
    Console::err.setSink(nullptr);
}

QStringList ConsoleCapture::out() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return outLines;
}

QStringList ConsoleCapture::err() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return errLines;
}

void ConsoleCapture::clear()
{
    std::lock_guard<std::mutex> lock(mutex);
    outLines.clear();
    errLines.clear();
}
