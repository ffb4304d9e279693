#include "link/flashplan.h"

#include <QMap>

#include <algorithm>

namespace {

QString unnameable(qint64 page, quint32 address, quint32 pageSize)
{
    return QStringLiteral(
               "page %1 (at %2) is past the %3 pages Extended Erase can name: pages "
               "of %4 bytes are too small for this flash")
        .arg(page)
        .arg(StmBootloader::hex(address))
        .arg(FlashPlan::nameablePages)
        .arg(pageSize);
}

}  // namespace

FlashPlan::FlashPlan(const FlashImage &image, quint32 flashBase, quint32 pageSize, int unit,
                     bool massErase)
    : base(flashBase), page(pageSize), programUnit(unit), mass(massErase)
{
    // Each window of `size` bytes that holds image bytes gives one block: from its first image
    // byte to its last, widened to the unit, the gaps 0xFF. A window never crosses a page.
    int size = StmBootloader::maxBlock;
    if (pageSize > 0)
        size = static_cast<int>(std::min<quint32>(StmBootloader::maxBlock, pageSize));
    size = std::max(size, unit);
    struct Window {
        QByteArray bytes;  // `size` bytes
        int from;          // the first image byte in it
        int to;            // one past the last
    };
    QMap<quint32, Window> windows;  // by start
    for (const FlashImage::Segment &s : image.segments()) {
        for (int i = 0; i < s.bytes.size();) {
            const quint32 at = s.address + static_cast<quint32>(i);
            const quint32 start = at - at % quint32(size);
            const int from = static_cast<int>(at - start);
            const int n = std::min<int>(size - from, s.bytes.size() - i);
            auto w = windows.find(start);
            if (w == windows.end())
                w = windows.insert(start, Window{QByteArray(size, char(0xFF)), from, from + n});
            w->bytes.replace(from, n, s.bytes.mid(i, n));
            w->from = std::min(w->from, from);
            w->to = std::max(w->to, from + n);
            i += n;
        }
    }
    for (auto it = windows.cbegin(); it != windows.cend(); ++it) {
        const int from = it->from - it->from % unit;
        const int to = std::min(size, (it->to + unit - 1) / unit * unit);
        const quint32 address = it.key() + static_cast<quint32>(from);
        const qint64 p = pageSize > 0 ? (address - flashBase) / pageSize : -1;
        if (p >= qint64(nameablePages)) {
            // Cut to 16 bits it would name another page: the one with the vector table.
            why = unnameable(p, address, pageSize);
            pageList.clear();
            blockList.clear();
            return;
        }
        blockList.append(Block{address, it->bytes.mid(from, to - from), int(p)});
        if (p >= 0 && (pageList.isEmpty() || pageList.last() != p))
            pageList.append(static_cast<quint16>(p));
    }
    if (!blockList.isEmpty())
        blockList.append(blockList.takeFirst());
}

qint64 FlashPlan::bytes() const
{
    qint64 n = 0;
    for (const Block &b : blockList)
        n += b.bytes.size();
    return n;
}

QList<int> FlashPlan::blocksIn(int p) const
{
    QList<int> list;
    for (int i = 0; i < blockList.size(); ++i) {
        if (blockList.at(i).page == p)
            list << i;
    }
    return list;
}
