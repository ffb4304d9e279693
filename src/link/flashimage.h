#pragma once
// An application image for a shield's flash, read from a raw binary or an Intel HEX file and
// checked whole before anything touches the bus.
//
// The format is decided strictly: a name ending in .hex, .ihex or .ihx, or content that begins
// with ':', is Intel HEX, and every record must hold (its checksum and length, types 00 to 05,
// exactly one end-of-file record and that one last, no two records writing the same byte); a
// name ending in .bin, or Format::Binary, is a raw image; text that says neither is refused, so
// a damaged HEX file is never written as bytes. An empty file, data outside the flash or more
// than it holds are refused too. error() names the line and what is wrong. The image is kept as
// runs of bytes by address.

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

    // Parses `contents`. Detect: HEX when it begins with ':', refused when it is other text, a
    // raw binary otherwise. A binary goes to `binaryAddress`. Every byte must lie in the flash
    // [flashBase, flashBase + flashSize). False with error() on any fault.
    bool parse(const QByteArray &contents, Format format, quint32 binaryAddress, quint32 flashBase,
               quint32 flashSize);
    // Reads and parses a file; Detect looks at the file's name first. error() begins with it.
    bool load(const QString &path, Format format, quint32 binaryAddress, quint32 flashBase,
              quint32 flashSize);

    // What a file's name says: Hex, Binary, or Detect when it says neither.
    static Format formatOfName(const QString &path);
    // The runs as Intel HEX: extended linear address records, 32 data bytes a record, the
    // end-of-file record.
    static QByteArray toHex(const QList<Segment> &runs);

    QString error() const { return why; }
    Format format() const { return detected; }
    // Sorted by address, adjacent runs joined.
    QList<Segment> segments() const { return runs; }
    quint32 lowest() const;
    quint32 highestEnd() const;  // one past the last byte
    qint64 byteCount() const;

private:
    bool fail(const QString &text);
    bool parseHex(const QByteArray &contents, quint64 flashBase, quint64 flashEnd,
                  const QString &flash);

    QList<Segment> runs;
    QString why;
    Format detected = Format::Binary;
};
