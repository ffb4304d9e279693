#include "link/flashimage.h"

#include "link/stmbootloader.h"

#include <QFile>
#include <QMap>

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

}  // namespace

bool FlashImage::fail(const QString &text)
{
    why = text;
    runs.clear();
    return false;
}

bool FlashImage::looksLikeHex(const QByteArray &contents)
{
    bool any = false;
    for (const QByteArray &raw : contents.split('\n')) {
        const QByteArray line = raw.trimmed();
        if (line.isEmpty())
            continue;
        if (line.at(0) != ':')
            return false;
        for (int i = 1; i < line.size(); ++i) {
            if (hexValue(line.at(i)) < 0)
                return false;
        }
        any = true;
    }
    return any;
}

void FlashImage::add(quint32 address, const QByteArray &bytes)
{
    runs.append(Segment{address, bytes});
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
    if (format == Format::Detect)
        detected = looksLikeHex(contents) ? Format::Hex : Format::Binary;

    if (detected == Format::Binary) {
        add(binaryAddress, contents);
    } else {
        quint32 upper = 0;  // extended linear (type 04) or segment (type 02) address
        bool ended = false;
        int number = 0;
        for (const QByteArray &raw : contents.split('\n')) {
            ++number;
            const QByteArray line = raw.trimmed();
            if (line.isEmpty())
                continue;
            const QString where = QStringLiteral("line %1: ").arg(number);
            if (ended)
                return fail(where + QStringLiteral("a record after the end-of-file record"));
            if (line.at(0) != ':' || line.size() < 11 || line.size() % 2 == 0)
                return fail(where + QStringLiteral("not an Intel HEX record"));
            QByteArray bytes;
            for (int i = 1; i + 1 < line.size(); i += 2) {
                const int high = hexValue(line.at(i));
                const int low = hexValue(line.at(i + 1));
                if (high < 0 || low < 0)
                    return fail(where + QStringLiteral("not an Intel HEX record"));
                bytes.append(static_cast<char>(high << 4 | low));
            }
            const int length = static_cast<quint8>(bytes.at(0));
            if (bytes.size() != length + 5)
                return fail(where +
                            QStringLiteral("its length byte says %1 data bytes, it holds %2")
                                .arg(length)
                                .arg(bytes.size() - 5));
            quint8 sum = 0;
            for (char b : bytes)
                sum = static_cast<quint8>(sum + static_cast<quint8>(b));
            if (sum != 0)
                return fail(where + QStringLiteral("bad checksum (the record's bytes sum to 0x%1, "
                                                   "not 0)")
                                        .arg(sum, 2, 16, QLatin1Char('0')));
            const quint32 offset =
                quint32(static_cast<quint8>(bytes.at(1))) << 8 | static_cast<quint8>(bytes.at(2));
            const int type = static_cast<quint8>(bytes.at(3));
            const QByteArray data = bytes.mid(4, length);
            const auto word16 = [&data] {
                return quint32(static_cast<quint8>(data.at(0))) << 8 |
                       static_cast<quint8>(data.at(1));
            };
            switch (type) {
            case 0x00:
                if (!data.isEmpty())
                    add(upper + offset, data);
                break;
            case 0x01:
                ended = true;
                break;
            case 0x02:
                if (length != 2)
                    return fail(where +
                                QStringLiteral("a segment address record of %1 bytes").arg(length));
                upper = word16() << 4;
                break;
            case 0x04:
                if (length != 2)
                    return fail(
                        where +
                        QStringLiteral("an extended address record of %1 bytes").arg(length));
                upper = word16() << 16;
                break;
            case 0x03:
            case 0x05:
                break;  // start addresses: the jump target is the image's start
            default:
                return fail(where + QStringLiteral("unknown record type %1").arg(type));
            }
        }
        if (runs.isEmpty())
            return fail(QStringLiteral("the HEX file holds no data"));
    }

    // Sort and merge; then hold every byte against the flash.
    std::stable_sort(runs.begin(), runs.end(),
                     [](const Segment &a, const Segment &b) { return a.address < b.address; });
    QList<Segment> merged;
    for (const Segment &s : runs) {
        const quint64 end = quint64(s.address) + quint64(s.bytes.size());
        if (!merged.isEmpty()) {
            Segment &last = merged.last();
            const quint64 lastEnd = quint64(last.address) + quint64(last.bytes.size());
            if (s.address <= lastEnd) {
                const int at = static_cast<int>(s.address - last.address);
                if (end > lastEnd)
                    last.bytes.resize(static_cast<int>(end - last.address));
                last.bytes.replace(at, s.bytes.size(), s.bytes);
                continue;
            }
        }
        merged.append(s);
    }
    runs = merged;
    const quint64 flashEnd = quint64(flashBase) + flashSize;
    const quint64 first = runs.first().address;
    const quint64 end = quint64(runs.last().address) + quint64(runs.last().bytes.size());
    if (first < flashBase || first >= flashEnd)
        return fail(
            QStringLiteral("data at %1, outside the flash (%2 to %3)")
                .arg(StmBootloader::hex(quint32(first)), StmBootloader::hex(flashBase), StmBootloader::hex(quint32(flashEnd - 1))));
    if (end > flashEnd) {
        if (detected == Format::Binary || end - first > flashSize)
            return fail(QStringLiteral("%1 bytes from %2: larger than the flash of %3 bytes "
                                       "(%4 to %5)")
                            .arg(end - first)
                            .arg(StmBootloader::hex(quint32(first)))
                            .arg(flashSize)
                            .arg(StmBootloader::hex(flashBase), StmBootloader::hex(quint32(flashEnd - 1))));
        return fail(
            QStringLiteral("data up to %1, outside the flash (%2 to %3)")
                .arg(StmBootloader::hex(quint32(end - 1)), StmBootloader::hex(flashBase), StmBootloader::hex(quint32(flashEnd - 1))));
    }
    return true;
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

QList<quint16> FlashImage::pages(quint32 flashBase, quint32 pageSize) const
{
    QList<quint16> list;
    for (const Segment &s : runs) {
        const quint32 first = (s.address - flashBase) / pageSize;
        const quint32 last = (s.address + quint32(s.bytes.size()) - 1 - flashBase) / pageSize;
        for (quint32 p = first; p <= last; ++p) {
            if (list.isEmpty() || list.last() < p)
                list.append(static_cast<quint16>(p));
        }
    }
    return list;
}

QList<FlashImage::Segment> FlashImage::blocks(int blockSize, int align) const
{
    // Each window of blockSize bytes that holds image bytes gives one block: from its first
    // image byte to its last, widened to `align`, the gaps 0xFF.
    struct Window {
        QByteArray bytes;  // blockSize bytes
        int from;          // the first image byte in it
        int to;            // one past the last
    };
    QMap<quint32, Window> windows;  // by start
    const quint32 size = static_cast<quint32>(blockSize);
    for (const Segment &s : runs) {
        for (int i = 0; i < s.bytes.size();) {
            const quint32 at = s.address + static_cast<quint32>(i);
            const quint32 start = at - at % size;
            const int from = static_cast<int>(at - start);
            const int n = std::min(blockSize - from, s.bytes.size() - i);
            auto w = windows.find(start);
            if (w == windows.end())
                w = windows.insert(start, Window{QByteArray(blockSize, char(0xFF)), from, from + n});
            w->bytes.replace(from, n, s.bytes.mid(i, n));
            w->from = std::min(w->from, from);
            w->to = std::max(w->to, from + n);
            i += n;
        }
    }
    QList<Segment> list;
    for (auto it = windows.cbegin(); it != windows.cend(); ++it) {
        const int from = it->from - it->from % align;
        const int to = std::min(blockSize, (it->to + align - 1) / align * align);
        list.append(Segment{it.key() + static_cast<quint32>(from), it->bytes.mid(from, to - from)});
    }
    return list;
}
