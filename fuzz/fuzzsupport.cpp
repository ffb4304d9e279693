#include "fuzzsupport.h"

#include "base/console.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>

namespace Fuzz {

namespace {

void quietMessages(QtMsgType type, const QMessageLogContext &, const QString &message) {
    if (type == QtFatalMsg) {
        std::fprintf(stderr, "Qt fatal: %s\n", message.toLocal8Bit().constData());
        std::abort();
    }
}

QStringList linesOf(const QByteArray &bytes) {
    QStringList lines = QString::fromUtf8(bytes).split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

}  // namespace

void initQt() {
    static int argc = 1;
    static char name[] = "stm-fuzz";
    static char *argv[] = {name, nullptr};
    if (QCoreApplication::instance())
        return;
    qInstallMessageHandler(quietMessages);
    new QCoreApplication(argc, argv);
}

void fail(const char *file, int line, const QString &what) {
    std::fprintf(stderr, "\n*** invariant broken at %s:%d\n*** %s\n", file, line,
                 what.toUtf8().constData());
    std::fflush(stderr);
    std::abort();
}

QByteArray Bytes::take(int n) {
    QByteArray bytes(n, '\0');
    for (int i = 0; i < n && !atEnd(); ++i)
        bytes[i] = static_cast<char>(u8());
    return bytes;
}

QByteArray Bytes::rest() {
    const QByteArray bytes = atEnd() ? QByteArray()
                                     : QByteArray(reinterpret_cast<const char *>(data + position),
                                                  static_cast<int>(size - position));
    position = size;
    return bytes;
}

ConsoleLines::ConsoleLines() {
    Console::out.setSink([this](const QByteArray &bytes) {
        outBytes.append(bytes);
        out << linesOf(bytes);
    });
    Console::err.setSink([this](const QByteArray &bytes) {
        errBytes.append(bytes);
        err << linesOf(bytes);
    });
}

ConsoleLines::~ConsoleLines() {
    Console::out.setSink(nullptr);
    Console::err.setSink(nullptr);
}

void ConsoleLines::clear() {
    out.clear();
    err.clear();
    outBytes.clear();
    errBytes.clear();
}

QString hex(const QByteArray &bytes, int max) {
    QString text = QString::fromLatin1(bytes.left(max).toHex(' '));
    if (bytes.size() > max)
        text += QStringLiteral(" ... (%1 bytes)").arg(bytes.size());
    return text;
}

}  // namespace Fuzz
