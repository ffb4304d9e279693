#pragma once
// What writing one image does to a shield's flash, decided before the bus is touched: the pages
// to erase and the blocks to write, in the order they are written.
//
// A block is at most 256 bytes (one Write Memory), lies in one page, and starts and ends on the
// program unit (the flash word, programmed once after an erase on flash with error correction),
// its gaps and ends padded with 0xFF. Blocks go in address order, except the one that holds the
// image's first flash word, which goes last: a run cut anywhere leaves that word blank, so a
// part that checks for empty flash at power-on starts its bootloader again and the next run
// completes.

#include "link/flashimage.h"
#include "link/stmbootloader.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtGlobal>

class FlashPlan
{
public:
    struct Block {
        quint32 address;
        QByteArray bytes;
        int page;  // -1 when the page size is not known
    };

    // `pageSize`, a power of two, or 0 when unknown (then only a mass erase is possible);
    // `unit`, a power of two up to 256.
    FlashPlan(const FlashImage &image, quint32 flashBase, quint32 pageSize, int unit,
              bool massErase);

    // Extended Erase names a page in 16 bits: a plan that needs a page past the last it can name
    // (tiny pages on a large flash) cannot be carried out. Empty when it can; else which page.
    QString error() const { return why; }
    static constexpr quint32 nameablePages = 0x10000;

    int unit() const { return programUnit; }
    bool massErase() const { return mass; }
    // The pages that hold blocks, ascending: what is erased (unless the whole flash is).
    QList<quint16> pages() const { return pageList; }
    // In write order: the block holding the image's first word last.
    const QList<Block> &blocks() const { return blockList; }
    qint64 bytes() const;
    // The blocks (indexes into blocks()) that lie in `page`, in write order.
    QList<int> blocksIn(int page) const;
    quint32 pageAddress(int page) const { return base + quint32(page) * this->page; }

private:
    quint32 base;
    quint32 page;
    int programUnit;
    bool mass;
    QList<quint16> pageList;
    QList<Block> blockList;
    QString why;
};
