#pragma once
// An application image for a shield's flash, read from a raw binary or an Intel HEX file and
// checked before anything touches the bus: an empty file, a HEX line that is not a record or
// has a bad checksum, data outside the flash or more than it holds are refused with one clear
// error. The image is kept as runs of bytes by address.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtGlobal>

class FlashImage
{
public:
    enum class Format { Detect, Binary, Hex };

    struct Segment {
        quint32 address;
        QByteArray bytes;
    };

    // Parses `contents`. A binary goes to `binaryAddress`. Every byte must lie in the flash
    // [flashBase, flashBase + flashSize). False with error() on any fault.
    bool parse(const QByteArray &contents, Format format, quint32 binaryAddress, quint32 flashBase,
               quint32 flashSize);
    // Reads and parses a file.
    bool load(const QString &path, Format format, quint32 binaryAddress, quint32 flashBase,
              quint32 flashSize);

    // Whether bytes look like Intel HEX: every non-blank line a ':' record of hex digits.
    static bool looksLikeHex(const QByteArray &contents);

    QString error() const { return why; }
    Format format() const { return detected; }
    // Sorted by address, adjacent or overlapping runs merged (a later byte wins).
    QList<Segment> segments() const { return runs; }
    quint32 lowest() const;
    quint32 highestEnd() const;  // one past the last byte
    qint64 byteCount() const;
    // The pages (of `pageSize`, counted from flashBase) that hold image bytes.
    QList<quint16> pages(quint32 flashBase, quint32 pageSize) const;
    // The image in blocks for Write Memory: at most `blockSize` bytes (a power of two), each
    // aligned on blockSize, padded with 0xFF to a multiple of `align` bytes.
    QList<Segment> blocks(int blockSize, int align) const;

private:
    bool fail(const QString &text);
    void add(quint32 address, const QByteArray &bytes);

    QList<Segment> runs;
    QString why;
    Format detected = Format::Binary;
};
