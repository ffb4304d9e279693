#include "link/flashimage.h"

#include "link/stmbootloader.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace {

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

QString hex64(quint64 address)
{
    return QStringLiteral("0x%1").arg(address, 8, 16, QLatin1Char('0'));
}

// A byte as a person reads it: the character, or its value.
QString describeByte(char c)
{
    const auto b = static_cast<quint8>(c);
    if (b > 0x20 && b < 0x7F)
        return QStringLiteral("'%1'").arg(QLatin1Char(c));
    return QStringLiteral("byte 0x%1").arg(b, 2, 16, QLatin1Char('0'));
}

QString describeStart(const QByteArray &bytes)
{
    if (bytes.startsWith("\xEF\xBB\xBF"))
        return QStringLiteral("it begins with a byte-order mark");
    return QStringLiteral("it begins with ") + describeByte(bytes.at(0));
}

// Text: no control byte but the white space and end-of-file marks of text files. Raw images
// are not: a vector table holds zero bytes and addresses like 0x08000000.
bool isText(const QByteArray &bytes)
{
    for (char c : bytes) {
        const auto b = static_cast<quint8>(c);
        if ((b < 0x20 && b != '\t' && b != '\n' && b != '\r' && b != '\f' && b != 0x1A) ||
            b == 0x7F)
            return false;
    }
    return true;
}

// One record as its line says it: checked for digits, length, checksum and its type's data.
struct HexRecord {
    int type = 0;
    quint32 offset = 0;
    QByteArray data;
};

// Data of a record where it goes, with the line that put it there.
struct PlacedData {
    quint32 address;
    QByteArray bytes;
    int line;
    quint64 end() const { return quint64(address) + quint64(bytes.size()); }
};

// Decodes one line that is not blank. An empty text when it is a good record, else what is
// wrong with it.
QString decodeRecord(const QByteArray &line, HexRecord *record)
{
    if (line.at(0) != ':')
        return QStringLiteral("not an Intel HEX record (%1)").arg(describeStart(line));
    for (int i = 1; i < line.size(); ++i) {
        if (hexValue(line.at(i)) < 0)
            return QStringLiteral("not an Intel HEX record: %1 at column %2 is not a hex digit")
                .arg(describeByte(line.at(i)))
                .arg(i + 1);
    }
    if (line.size() < 11 || line.size() % 2 == 0)
        return QStringLiteral("an incomplete record of %1 hex digits (cut short?)")
            .arg(line.size() - 1);
    QByteArray bytes;
    for (int i = 1; i + 1 < line.size(); i += 2)
        bytes.append(static_cast<char>(hexValue(line.at(i)) << 4 | hexValue(line.at(i + 1))));
    const int length = static_cast<quint8>(bytes.at(0));
    if (bytes.size() != length + 5)
        return QStringLiteral("its length byte says %1 data bytes, it holds %2")
            .arg(length)
            .arg(bytes.size() - 5);
    quint8 sum = 0;
    for (char b : bytes)
        sum = static_cast<quint8>(sum + static_cast<quint8>(b));
    if (sum != 0)
        return QStringLiteral("bad checksum (the record's bytes sum to 0x%1, not 0)")
            .arg(sum, 2, 16, QLatin1Char('0'));
    record->offset =
        quint32(static_cast<quint8>(bytes.at(1))) << 8 | static_cast<quint8>(bytes.at(2));
    record->type = static_cast<quint8>(bytes.at(3));
    record->data = bytes.mid(4, length);
    const int sizes[] = {-1, 0, 2, 4, 2, 4};  // data bytes of each type; -1 any
    if (record->type > 5)
        return QStringLiteral("unknown record type %1 (Intel HEX has 00 to 05)")
            .arg(record->type, 2, 16, QLatin1Char('0'));
    if (sizes[record->type] >= 0 && length != sizes[record->type])
        return QStringLiteral("a record of type %1 with %2 data bytes, not %3")
            .arg(record->type, 2, 16, QLatin1Char('0'))
            .arg(length)
            .arg(sizes[record->type]);
    return QString();
}

// Where a data record's bytes go, from the last extended address. In a segment (type 02) the
// offset wraps at 64 KiB: what passes its end goes to its start.
QList<PlacedData> placeData(const HexRecord &r, quint32 upper, bool segmented, int line)
{
    const int length = r.data.size();
    const int first = segmented ? std::min<int>(length, int(0x10000 - r.offset)) : length;
    QList<PlacedData> pieces;
    pieces.append(PlacedData{upper + r.offset, r.data.left(first), line});
    if (first < length)
        pieces.append(PlacedData{upper, r.data.mid(first), line});
    return pieces;
}

// No byte may be written twice: which record should win is not the tool's to guess. Sorts the
// records by address; an empty text when none overlap, else the later line of the first pair.
QString findOverlap(QList<PlacedData> &records)
{
    std::stable_sort(records.begin(), records.end(), [](const PlacedData &a, const PlacedData &b) {
        return a.address < b.address;
    });
    int furthest = 0;  // the record reaching furthest so far
    for (int i = 1; i < records.size(); ++i) {
        const PlacedData &r = records.at(i);
        const PlacedData &before = records.at(furthest);
        if (r.address < before.end()) {
            const PlacedData &later = r.line > before.line ? r : before;
            const PlacedData &earlier = r.line > before.line ? before : r;
            return QStringLiteral(
                       "line %1: its data at %2 to %3 overlaps that of line %4 (%5 to "
                       "%6)")
                .arg(later.line)
                .arg(hex64(later.address), hex64(later.end() - 1))
                .arg(earlier.line)
                .arg(hex64(earlier.address), hex64(earlier.end() - 1));
        }
        if (r.end() > before.end())
            furthest = i;
    }
    return QString();
}

}  // namespace

bool FlashImage::fail(const QString &text)
{
    why = text;
    runs.clear();
    return false;
}

FlashImage::Format FlashImage::formatOfName(const QString &path)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix == QLatin1String("hex") || suffix == QLatin1String("ihex") ||
        suffix == QLatin1String("ihx"))
        return Format::Hex;
    if (suffix == QLatin1String("bin"))
        return Format::Binary;
    return Format::Detect;
}

bool FlashImage::load(const QString &path, Format format, quint32 binaryAddress, quint32 flashBase,
                      quint32 flashSize)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("cannot read the image %1: %2").arg(path, file.errorString()));
    // Nothing a shield's flash holds comes near this; a larger file is no image for it.
    const qint64 limit = 64 * 1024 * 1024;
    if (file.size() > limit)
        return fail(QStringLiteral("the image %1 is %2 bytes: far more than any flash holds")
                        .arg(path)
                        .arg(file.size()));
    const QByteArray contents = file.read(limit);
    if (format == Format::Detect)
        format = formatOfName(path);
    if (!parse(contents, format, binaryAddress, flashBase, flashSize)) {
        why = path + QStringLiteral(": ") + why;
        return false;
    }
    return true;
}

bool FlashImage::parse(const QByteArray &contents, Format format, quint32 binaryAddress,
                       quint32 flashBase, quint32 flashSize)
{
    runs.clear();
    why.clear();
    if (contents.isEmpty())
        return fail(QStringLiteral("the image is empty"));
    detected = format;
    if (format == Format::Detect) {
        if (contents.startsWith(':'))
            detected = Format::Hex;
        else if (isText(contents))
            return fail(QStringLiteral("text, not Intel HEX (%1); give the file a name ending in "
                                       ".hex or .bin, or say which it is with --format")
                            .arg(describeStart(contents)));
        else
            detected = Format::Binary;
    }
    const quint64 flashEnd = quint64(flashBase) + flashSize;
    const QString flash =
        QStringLiteral("the flash (%1 to %2)")
            .arg(StmBootloader::hex(flashBase), StmBootloader::hex(quint32(flashEnd - 1)));
    if (detected == Format::Hex)
        return parseHex(contents, flashBase, flashEnd, flash);

    const quint64 end = quint64(binaryAddress) + quint64(contents.size());
    if (binaryAddress < flashBase || binaryAddress >= flashEnd)
        return fail(
            QStringLiteral("data at %1, outside %2").arg(StmBootloader::hex(binaryAddress), flash));
    if (end > flashEnd)
        return fail(
            QStringLiteral("%1 bytes from %2: larger than the flash of %3 bytes (%4 to %5)")
                .arg(contents.size())
                .arg(StmBootloader::hex(binaryAddress))
                .arg(flashSize)
                .arg(StmBootloader::hex(flashBase), StmBootloader::hex(quint32(flashEnd - 1))));
    runs.append(Segment{binaryAddress, contents});
    return true;
}

bool FlashImage::parseHex(const QByteArray &contents, quint64 flashBase, quint64 flashEnd,
                          const QString &flash)
{
    QList<PlacedData> records;
    quint32 upper = 0;  // extended linear (type 04) or segment (type 02) address
    bool segmented = false;
    int endLine = 0;
    int number = 0;
    int last = 0;  // the last line that is not blank
    QByteArray text = contents;
    if (text.endsWith('\x1a'))
        text.chop(1);  // a DOS end-of-file mark after the last line says nothing
    for (const QByteArray &raw : text.split('\n')) {
        ++number;
        const QByteArray line = raw.trimmed();
        if (line.isEmpty())
            continue;
        last = number;
        const QString where = QStringLiteral("line %1: ").arg(number);
        if (endLine > 0)
            return fail(
                where +
                QStringLiteral("a record after the end-of-file record of line %1").arg(endLine));
        HexRecord r;
        const QString bad = decodeRecord(line, &r);
        if (!bad.isEmpty())
            return fail(where + bad);
        if (r.type == 0x00 && !r.data.isEmpty()) {
            for (const PlacedData &p : placeData(r, upper, segmented, number)) {
                if (p.address < flashBase || p.end() > flashEnd)
                    return fail(where + QStringLiteral("data at %1 to %2, outside %3")
                                            .arg(hex64(p.address), hex64(p.end() - 1), flash));
                records.append(p);
            }
        } else if (r.type == 0x01) {
            endLine = number;
        } else if (r.type == 0x02 || r.type == 0x04) {
            const quint32 word16 =
                quint32(static_cast<quint8>(r.data.at(0))) << 8 | static_cast<quint8>(r.data.at(1));
            segmented = r.type == 0x02;
            upper = segmented ? word16 << 4 : word16 << 16;
        }
        // Types 03 and 05 give a start address: the image starts at its lowest one anyway.
    }
    if (endLine == 0)
        return fail(QStringLiteral("no end-of-file record after line %1: the file may be cut short")
                        .arg(last));
    if (records.isEmpty())
        return fail(QStringLiteral("the HEX file holds no data"));
    const QString overlap = findOverlap(records);
    if (!overlap.isEmpty())
        return fail(overlap);
    for (const PlacedData &r : records) {
        if (!runs.isEmpty() && quint64(runs.last().address) + runs.last().bytes.size() == r.address)
            runs.last().bytes += r.bytes;
        else
            runs.append(Segment{r.address, r.bytes});
    }
    return true;
}

QByteArray FlashImage::toHex(const QList<Segment> &list)
{
    QByteArray out;
    const auto record = [&out](int type, quint16 offset, const QByteArray &data) {
        QByteArray r;
        r.append(static_cast<char>(data.size()));
        r.append(static_cast<char>(offset >> 8));
        r.append(static_cast<char>(offset & 0xFF));
        r.append(static_cast<char>(type));
        r += data;
        quint8 sum = 0;
        for (char c : r)
            sum = static_cast<quint8>(sum + static_cast<quint8>(c));
        r.append(static_cast<char>(-sum));
        out += ':' + r.toHex().toUpper() + '\n';
    };
    qint64 upper = -1;
    for (const Segment &s : list) {
        for (int i = 0; i < s.bytes.size();) {
            const quint32 at = s.address + static_cast<quint32>(i);
            if (at >> 16 != upper) {
                upper = at >> 16;
                record(4, 0, QByteArray(1, char(upper >> 8)) + char(upper & 0xFF));
            }
            // 32 bytes a record, never across a 64 KiB boundary.
            const int n = static_cast<int>(std::min<quint32>(
                std::min<quint32>(32, 0x10000 - (at & 0xFFFF)), quint32(s.bytes.size() - i)));
            record(0, static_cast<quint16>(at & 0xFFFF), s.bytes.mid(i, n));
            i += n;
        }
    }
    record(1, 0, QByteArray());
    return out;
}

quint32 FlashImage::lowest() const
{
    return runs.isEmpty() ? 0 : runs.first().address;
}

quint32 FlashImage::highestEnd() const
{
    return runs.isEmpty() ? 0
                          : runs.last().address + static_cast<quint32>(runs.last().bytes.size());
}

qint64 FlashImage::byteCount() const
{
    qint64 n = 0;
    for (const Segment &s : runs)
        n += s.bytes.size();
    return n;
}
