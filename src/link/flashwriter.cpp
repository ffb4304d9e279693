#include "link/flashwriter.h"

#include "link/crc16.h"
#include "link/frame.h"
#include "link/spicommand.h"
#include "link/stmbootloader.h"

#include "board/board.h"

#include <algorithm>

FlashWriter::FlashWriter(StmBootloader *host, Board *board, const FlashPlan &plan)
    : host(host), board(board), plan(plan)
{}

bool FlashWriter::fail(const QString &text)
{
    why = text;
    return false;
}

bool FlashWriter::program()
{
    const int n = plan.blocks().size();
    written.fill(false, n);
    verified.fill(false, n);
    lastSent = false;
    // The last block's page may be written anew with it: all that is not verified is read back.
    return writeRange(0, n - 1, true) && verifyRange(0, n - 1, true) &&
           writeRange(n - 1, n, false) && verifyRange(0, n, false);
}

bool FlashWriter::compare()
{
    const int n = plan.blocks().size();
    verified.fill(false, n);
    return verifyRange(0, n, true, false);
}

bool FlashWriter::writeRange(int from, int to, bool told)
{
    qint64 total = 0;
    for (int i = from; i < to; ++i)
        total += plan.blocks().at(i).bytes.size();
    qint64 done = 0;
    for (int i = from; i < to; ++i) {
        if (!put(i))
            return false;
        done += plan.blocks().at(i).bytes.size();
        if (told && report)
            report(Phase::Write, done, total);
    }
    return true;
}

bool FlashWriter::verifyRange(int from, int to, bool told, bool mend)
{
    qint64 total = 0;
    for (int i = from; i < to; ++i)
        total += plan.blocks().at(i).bytes.size();
    qint64 done = 0;
    for (int i = from; i < to;) {
        const FlashPlan::Block &b = plan.blocks().at(i);
        if (verified.at(i)) {
            ++i;
            continue;
        }
        QByteArray back;
        if (!host->readMemory(b.address, b.bytes.size(), &back))
            return fail(host->error());
        if (back == b.bytes) {
            verified[i] = true;
            done = std::min(total, done + b.bytes.size());
            if (told && report)
                report(Phase::Verify, done, total);
            ++i;
            continue;
        }
        int at = 0;
        while (back.at(at) == b.bytes.at(at))
            ++at;
        const QString differs =
            QStringLiteral("verify: %1 holds 0x%2, the image 0x%3")
                .arg(StmBootloader::hex(b.address + quint32(at)))
                .arg(static_cast<quint8>(back.at(at)), 2, 16, QLatin1Char('0'))
                .arg(static_cast<quint8>(b.bytes.at(at)), 2, 16, QLatin1Char('0'));
        if (!mend)
            return fail(differs);
        if (!rewritePage(i, differs))
            return false;
        i = from;  // the blocks written anew are read back again
    }
    return true;
}

bool FlashWriter::put(int i)
{
    const FlashPlan::Block &b = plan.blocks().at(i);
    if (i == plan.blocks().size() - 1)
        lastSent = true;
    if (host->writeMemory(b.address, b.bytes)) {
        written[i] = true;
        return true;
    }
    const QString failure = host->error();
    if (host->interrupted())
        return fail(failure);
    // Sending the block again could write over what the lost write programmed: look first.
    QByteArray back;
    if (!host->readMemory(b.address, b.bytes.size(), &back))
        return fail(failure + QStringLiteral("; reading the block back: ") + host->error());
    if (back == b.bytes) {
        written[i] = true;
        ++kept;
        return true;
    }
    return rewritePage(i, failure);
}

bool FlashWriter::rewritePage(int i, const QString &failure)
{
    const int page = plan.blocks().at(i).page;
    if (page < 0)
        return fail(failure + QStringLiteral("; without the page size the block's page cannot be "
                                             "erased again"));
    if (rewritesOfPage[page] >= maxPageRewrites)
        return fail(failure + QStringLiteral("; page %1 was erased and written again %2 times")
                                  .arg(page)
                                  .arg(maxPageRewrites));
    ++rewritesOfPage[page];
    ++rewrites;
    if (!host->erasePages({static_cast<quint16>(page)}))
        return fail(failure + QStringLiteral("; erasing its page again: ") + host->error());
    // What the erase took: every block of the page written so far, and this one.
    QList<int> again;
    for (int j : plan.blocksIn(page)) {
        if (written.at(j) || j == i)
            again << j;
        written[j] = false;
        verified[j] = false;
    }
    for (int j : again) {
        if (!written.at(j) && !put(j))
            return false;
    }
    return true;
}

FlashWriter::Start FlashWriter::start(quint32 address, quint16 *firmware)
{
    *firmware = 0;
    for (int round = 0; round < StmBootloader::attempts; ++round) {
        if (host->go(address))
            return Start::Acknowledged;
        const QString failure = host->error();
        if (host->refused() || host->interrupted()) {
            fail(failure);
            return Start::Failed;
        }
        // The jump may have been made with its acknowledge lost: then the application answers.
        for (int waited = 0; waited <= applicationWaitMs; waited += 100) {
            if (applicationAnswers(board, firmware)) {
                why = failure;
                return Start::Runs;
            }
            board->delay_ms(100);
        }
        if (!host->awaitSync(host->timeouts().syncMs)) {
            fail(failure + QStringLiteral("; the application does not answer either, and ") +
                 host->error());
            return Start::Failed;
        }
    }
    fail(host->error());
    return Start::Failed;
}

bool FlashWriter::applicationAnswers(Board *board, quint16 *firmware)
{
    const auto frame = [](quint8 start, quint8 code) {
        QByteArray f = Frame::compose(code, 0, 0, 0, 0);
        f[Frame::startByte] = static_cast<char>(start);
        CRC16().buf_crc_add(f, Frame::controlSize);
        return f;
    };
    // The shield answers one transfer late: a ping, the firmware question, an idle frame.
    const QList<QByteArray> sent = {
        frame(Frame::start, SPIcommand::PING_1),
        frame(Frame::start | Frame::toggleBit, SPIcommand::READ_FIRMWARE),
        QByteArray(Frame::shortSize, '\0')};
    bool application = false;
    for (const QByteArray &f : sent) {
        QByteArray tx = f;
        QByteArray rx(f.size(), '\0');
        board->spi_transfer(reinterpret_cast<quint8 *>(tx.data()),
                            reinterpret_cast<quint8 *>(rx.data()), Frame::shortSize);
        if (!Frame::hasValidStart(rx) || !CRC16().buf_crc_comparision(rx, Frame::controlSize))
            continue;
        application = true;
        if (Frame::code(rx) == SPIcommand::READ_FIRMWARE)
            *firmware = Frame::u16At4(rx);
    }
    return application;
}

bool FlashWriter::read(StmBootloader *host, quint32 address, quint32 length, QByteArray *data,
                       const std::function<void(qint64)> &progress)
{
    data->clear();
    while (quint32(data->size()) < length) {
        const int n = static_cast<int>(
            std::min<quint32>(StmBootloader::maxBlock, length - quint32(data->size())));
        QByteArray block;
        if (!host->readMemory(address + quint32(data->size()), n, &block))
            return false;
        data->append(block);
        if (progress)
            progress(data->size());
    }
    return true;
}
