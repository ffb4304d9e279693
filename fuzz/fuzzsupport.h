#pragma once
// Shared by the fuzz targets, which run every input in the main thread: the Qt application they
// need for timers and sockets, the capture of console lines, a reader of the fuzzer's bytes and
// the check that ends a run with a report.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstddef>
#include <cstdint>

namespace Fuzz {

// Creates the application object once and silences Qt's own messages (fatal ones still abort).
void initQt();

// Reports a broken invariant on standard error and aborts, so libFuzzer keeps the input.
[[noreturn]] void fail(const char *file, int line, const QString &what);

#define FUZZ_CHECK(condition, what)                                                     \
    do {                                                                                \
        if (!(condition))                                                               \
            ::Fuzz::fail(__FILE__, __LINE__, QStringLiteral(#condition ": ") + (what)); \
    } while (0)

// The fuzzer's bytes, consumed from the front; past the end every read gives zeros.
class Bytes {
public:
    Bytes(const uint8_t *data, size_t size) : data(data), size(size) {}

    bool atEnd() const { return position >= size; }
    size_t left() const { return atEnd() ? 0 : size - position; }
    uint8_t u8() { return atEnd() ? 0 : data[position++]; }
    uint16_t u16() {
        const uint16_t high = u8();
        return static_cast<uint16_t>(high << 8 | u8());
    }
    // The next n bytes, zero-padded past the end.
    QByteArray take(int n);
    // Everything not read yet.
    QByteArray rest();

private:
    const uint8_t *data;
    size_t size;
    size_t position = 0;
};

// Keeps the lines written to Console::out and Console::err while it lives instead of printing
// them. Each write is kept whole too, so a check can see what one call wrote.
class ConsoleLines {
public:
    ConsoleLines();
    ~ConsoleLines();
    ConsoleLines(const ConsoleLines &) = delete;
    ConsoleLines &operator=(const ConsoleLines &) = delete;

    QStringList out;      // every standard-output line, without its end-of-line
    QStringList err;      // the same for the diagnostic log
    QByteArray outBytes;  // standard output exactly as written
    QByteArray errBytes;

    void clear();
};

// Hex dump of the first bytes of an array, for reports.
QString hex(const QByteArray &bytes, int max = 16);

}  // namespace Fuzz
