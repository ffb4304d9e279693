// The host side of the STM32 bootloader (stm-flash's engine) against the simulator's device:
// a whole write, verify and start; faults retried or mended without writing over programmed
// flash; a run cut half-way and run again; protection refused and named; the image files
// checked and the plan made before anything reaches the bus.
#include "link/stmbootloader.h"
#include "link/flashimage.h"
#include "link/flashplan.h"
#include "link/flashwriter.h"

#include "board/board.h"
#include "sim/shieldmodel.h"

#include <gtest/gtest.h>

#include <cstring>
#include <tuple>

namespace {

// The selected shield is this model, reached in-process.
class ModelBoard : public Board
{
public:
    explicit ModelBoard(ShieldModel *model) : model(model) {}
    void spi_transfer(quint8 *buffer, quint8 *received, quint16 length) override
    {
        const QByteArray in =
            model->transfer(QByteArray(reinterpret_cast<const char *>(buffer), length));
        std::memcpy(received, in.constData(), length);
    }
    ShieldModel *model;
};

const quint32 base = StmBootloader::flashBase;

FlashImage imageOf(const QByteArray &bytes)
{
    FlashImage image;
    EXPECT_TRUE(image.parse(bytes, FlashImage::Format::Binary, base, base, 128 * 1024));
    return image;
}

// Erases the plan's pages, then writes and verifies it. False with the writer's error.
bool writeAndVerifyQuietly(StmBootloader &host, FlashWriter &writer, const FlashPlan &plan)
{
    EXPECT_TRUE(host.erasePages(plan.pages())) << host.error().toStdString();
    return writer.program();
}

bool writeAndVerify(StmBootloader &host, FlashWriter &writer, const FlashPlan &plan)
{
    const bool ok = writeAndVerifyQuietly(host, writer, plan);
    EXPECT_TRUE(ok) << writer.error().toStdString();
    return ok;
}

}  // namespace

TEST(StmBootloaderOnModel, WritesVerifiesAndStartsTheImageWhoseFirmwareItDeclares)
{
    ShieldModel model;
    model.eraseFlash();
    ASSERT_TRUE(model.inBootloader());
    ModelBoard board(&model);
    StmBootloader host(&board);
    ASSERT_TRUE(host.sync());
    quint8 version = 0;
    QByteArray commands;
    ASSERT_TRUE(host.get(&version, &commands));
    EXPECT_EQ(version, BootloaderModel::version);
    for (char needed : {0x11, 0x21, 0x31, 0x44})
        EXPECT_TRUE(commands.contains(needed)) << int(needed);
    quint8 again = 0;
    ASSERT_TRUE(host.getVersion(&again));
    EXPECT_EQ(again, version);
    quint16 id = 0;
    ASSERT_TRUE(host.getId(&id));
    EXPECT_EQ(id, 0x460);
    ASSERT_NE(StmBootloader::findPart(id), nullptr);
    EXPECT_EQ(StmBootloader::findPart(id)->pageSize, 2048u);

    // A Go into blank flash is acknowledged, and the shield is back in its bootloader.
    ASSERT_TRUE(host.go(base));
    EXPECT_TRUE(model.inBootloader());
    ASSERT_TRUE(host.sync());

    const FlashPlan plan(imageOf(BootloaderModel::makeImage(64 * 1024, 4242)), base, 2048, 8,
                         false);
    FlashWriter writer(&host, &board, plan);
    ASSERT_TRUE(writeAndVerify(host, writer, plan));
    EXPECT_EQ(model.flash().left(64 * 1024), BootloaderModel::makeImage(64 * 1024, 4242));
    EXPECT_EQ(host.retries(), 0);
    quint16 firmware = 0;
    ASSERT_EQ(writer.start(base, &firmware), FlashWriter::Start::Acknowledged);
    EXPECT_FALSE(model.inBootloader());
    EXPECT_EQ(model.firmware(), 4242);
}

TEST(StmBootloaderOnModel, RetriesOrMendsEveryFaultOnceAndNeverWritesOverProgrammedFlash)
{
    // What mends each: a repeated try, a write kept because it read back intact, or its page
    // erased and written again. On flash with error correction a second write over a flash
    // word is refused, so any write sent twice fails the row.
    struct Row {
        const char *what;
        BootloaderModel::Fault fault;
        const char *command;
        int nth;
        int ecc;  // program unit, 0: no error correction
        int retries, kept, rewritten;
    };
    using F = BootloaderModel::Fault;
    const Row rows[] = {
        {"write refused", F::Nack, "write", 20, 0, 0, 0, 1},
        {"byte of a block lost", F::LoseByte, "write", 40, 0, 0, 0, 1},
        {"write never answered", F::Timeout, "write", 7, 0, 0, 0, 1},
        {"erase refused", F::Nack, "erase", 1, 0, 1, 0, 0},
        {"read address byte lost", F::LoseByte, "read", 3, 0, 1, 0, 0},
        {"id never answered", F::Timeout, "id", 1, 0, 1, 0, 0},
        {"write done, its acknowledge lost, error correction", F::AckLost, "write", 5, 8, 0, 1, 0},
        {"last block's acknowledge lost, quad words", F::AckLost, "write", 64, 16, 0, 1, 0},
        {"byte lost, error correction", F::LoseByte, "write", 9, 8, 0, 0, 1},
        {"last block refused: its page written anew", F::Nack, "write", 64, 8, 0, 0, 1},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        ShieldModel model;
        model.eraseFlash();
        model.setErrorCorrection(row.ecc);
        model.injectBootloaderFault(row.fault, quint8(BootloaderModel::commandCode(row.command)),
                                    row.nth);
        ModelBoard board(&model);
        StmBootloader host(&board);
        StmBootloader::Timeouts quick;
        quick.commandMs = quick.writeMs = 200;
        host.setTimeouts(quick);
        ASSERT_TRUE(host.sync());
        quint16 id = 0;
        ASSERT_TRUE(host.getId(&id)) << host.error().toStdString();
        const QByteArray bytes = BootloaderModel::makeImage(16 * 1024, 7);
        const FlashPlan plan(imageOf(bytes), base, 2048, row.ecc ? row.ecc : 8, false);
        FlashWriter writer(&host, &board, plan);
        ASSERT_TRUE(writeAndVerify(host, writer, plan));
        EXPECT_EQ(model.flash().left(bytes.size()), bytes);
        EXPECT_EQ(host.retries(), row.retries);
        EXPECT_EQ(writer.keptWithoutAck(), row.kept);
        EXPECT_EQ(writer.pagesRewritten(), row.rewritten);
    }
}

TEST(StmBootloaderOnModel, ARunCutHalfWayLeavesTheFirstWordBlankAndTheNextRunCompletes)
{
    ShieldModel model;
    model.eraseFlash();
    model.setErrorCorrection(8);
    // 8 KiB in 32 blocks: the chip stops answering after 16 writes.
    model.injectBootloaderFault(BootloaderModel::Fault::Stop, BootloaderModel::commandCode("write"),
                                17);
    ModelBoard board(&model);
    StmBootloader host(&board);
    StmBootloader::Timeouts quick;
    quick.commandMs = quick.writeMs = 100;
    host.setTimeouts(quick);
    const QByteArray bytes = BootloaderModel::makeImage(8 * 1024, 31);
    const FlashPlan plan(imageOf(bytes), base, 2048, 8, false);
    {
        ASSERT_TRUE(host.sync());
        FlashWriter writer(&host, &board, plan);
        EXPECT_FALSE(writeAndVerifyQuietly(host, writer, plan));
        EXPECT_FALSE(writer.firstWordSent());
        EXPECT_TRUE(
            writer.error().startsWith(QStringLiteral("Write Memory (0x31) at 0x08001100: "
                                                     "no answer in time; reading the block "
                                                     "back: ")))
            << writer.error().toStdString();
    }
    EXPECT_EQ(model.flash().left(4), QByteArray(4, char(0xFF)));
    EXPECT_NE(model.flash().mid(0x100, 0x1000), QByteArray(0x1000, char(0xFF)));

    // Power comes back: the empty check starts the bootloader, and the same run completes.
    model.setReset(true);
    model.setReset(false);
    ASSERT_TRUE(model.inBootloader());
    ASSERT_TRUE(host.sync());
    FlashWriter writer(&host, &board, plan);
    ASSERT_TRUE(writeAndVerify(host, writer, plan));
    EXPECT_EQ(model.flash().left(bytes.size()), bytes);

    // Go's acknowledge lost: the application's frames tell that it runs.
    model.injectBootloaderFault(BootloaderModel::Fault::AckLost, BootloaderModel::commandCode("go"),
                                1);
    quint16 firmware = 0;
    EXPECT_EQ(writer.start(base, &firmware), FlashWriter::Start::Runs);
    EXPECT_EQ(firmware, 31);
    EXPECT_EQ(writer.error().toStdString(), "Go (0x21) to 0x08000000: no answer in time");
    EXPECT_FALSE(model.inBootloader());
}

TEST(StmBootloaderOnModel, ProtectionIsRefusedEveryTimeAndNamedUntilRemoved)
{
    ShieldModel model;
    model.eraseFlash();
    model.protectPages(3, 1);
    ModelBoard board(&model);
    StmBootloader host(&board);
    ASSERT_TRUE(host.sync());
    EXPECT_TRUE(host.erasePages({2}));
    EXPECT_FALSE(host.erasePages({2, 3, 4}));
    EXPECT_TRUE(host.refused());
    EXPECT_EQ(host.error().toStdString(),
              "Extended Erase (0x44) of pages 2 to 4: refused (NACK) 4 times in 4 tries");
    EXPECT_FALSE(host.writeMemory(base + 3 * 2048 + 256, QByteArray(256, '\1')));
    EXPECT_TRUE(host.error().startsWith(QStringLiteral("Write Memory (0x31) at 0x08001900")));
    EXPECT_FALSE(host.massErase());
    ASSERT_TRUE(host.writeUnprotect());
    ASSERT_TRUE(host.sync());  // the device restarted in its bootloader: its flash is blank
    EXPECT_TRUE(host.erasePages({2, 3, 4}));

    // Read-out protection refuses reading, and removing it erases the whole flash.
    model.writeFlash(0, BootloaderModel::makeImage(4096, 9));
    model.setReadoutProtection(true);
    QByteArray data;
    EXPECT_FALSE(host.readMemory(base, 16, &data));
    EXPECT_TRUE(host.refused());
    // It erases after its acknowledges, silent meanwhile: the host waits for it, bounded.
    model.setBusyTimes(2, 0, 300);
    ASSERT_TRUE(host.readoutUnprotect());
    EXPECT_EQ(model.flash(), QByteArray(128 * 1024, char(0xFF)));
    ASSERT_TRUE(host.awaitSync(30000)) << host.error().toStdString();
    EXPECT_TRUE(host.readMemory(base, 16, &data));
}

TEST(FlashImageFiles, AreCheckedWholeBeforeTheBus)
{
    struct Row {
        const char *what;
        QByteArray contents;
        FlashImage::Format format;
        const char *error;  // empty: good
        quint32 lowest;
        qint64 bytes;
        quint32 flash = base;
    };
    using F = FlashImage::Format;
    const quint32 size = 64 * 1024;
    const QByteArray hexGood =
        ":020000040800F2\n:0400000001020304F2\n:04001000AABBCCDDDE\n"
        ":00000001FF\n";
    const QByteArray binary = QByteArray::fromHex("00200020c1000008") + QByteArray(992, 'x');
    const Row rows[] = {
        {"binary", binary, F::Detect, "", base, 1000},
        {"text said to be binary", QByteArray(1000, 'x'), F::Binary, "", base, 1000},
        {"hex with two runs", hexGood, F::Detect, "", base, 8},
        {"hex from a DOS tool", QByteArray(hexGood).replace("\n", "\r\n") + "\x1a", F::Detect, "",
         base, 8},
        {"empty", QByteArray(), F::Detect, "the image is empty", 0, 0},
        {"binary larger than the flash", QByteArray(size + 1, '\0'), F::Detect,
         "65537 bytes from 0x08000000: larger than the flash of 65536 bytes (0x08000000 to "
         "0x0800ffff)",
         0, 0},
        {"text that says neither", QByteArray(1000, 'x'), F::Detect,
         "text, not Intel HEX (it begins with 'x'); give the file a name ending in .hex or .bin, "
         "or say which it is with --format",
         0, 0},
        {"hex after a byte-order mark", "\xEF\xBB\xBF" + hexGood, F::Detect,
         "text, not Intel HEX (it begins with a byte-order mark); give the file a name ending in "
         ".hex or .bin, or say which it is with --format",
         0, 0},
        {"damaged digit", ":020000040800F2\n:0400000001O20304F2\n:00000001FF\n", F::Detect,
         "line 2: not an Intel HEX record: 'O' at column 12 is not a hex digit", 0, 0},
        {"comment line", "# build 24\n" + hexGood, F::Hex,
         "line 1: not an Intel HEX record (it begins with '#')", 0, 0},
        {"cut before its end", hexGood.left(hexGood.indexOf(":0000")), F::Detect,
         "no end-of-file record after line 3: the file may be cut short", 0, 0},
        {"cut inside a record", hexGood.left(30), F::Detect,
         "line 2: an incomplete record of 13 hex digits (cut short?)", 0, 0},
        {"overlap", ":020000040800F2\n:0400000001020304F2\n:04000200AABBCCDDEC\n:00000001FF\n",
         F::Detect,
         "line 3: its data at 0x08000002 to 0x08000005 overlaps that of line 2 (0x08000000 to "
         "0x08000003)",
         0, 0},
        {"bad checksum", ":0400000001020304F3\n", F::Detect,
         "line 1: bad checksum (the record's bytes sum to 0x01, not 0)", 0, 0},
        {"record type 06", ":00000006FA\n", F::Detect,
         "line 1: unknown record type 06 (Intel HEX has 00 to 05)", 0, 0},
        {"end record with data", ":01000001AA54\n", F::Detect,
         "line 1: a record of type 01 with 1 data bytes, not 0", 0, 0},
        {"hex below the flash", ":0400000001020304F2\n", F::Hex,
         "line 1: data at 0x00000000 to 0x00000003, outside the flash (0x08000000 to 0x0800ffff)",
         0, 0},
        {"hex past the flash end", ":020000040801F1\n:0400000001020304F2\n", F::Hex,
         "line 2: data at 0x08010000 to 0x08010003, outside the flash (0x08000000 to 0x0800ffff)",
         0, 0},
        {"short record", ":04000000010203F2\n", F::Hex,
         "line 1: its length byte says 4 data bytes, it holds 3", 0, 0},
        {"forced hex on binary", QByteArray("\x01\x02", 2), F::Hex,
         "line 1: not an Intel HEX record (it begins with byte 0x01)", 0, 0},
        {"record after the end", ":00000001FF\n:0400000001020304F2\n", F::Hex,
         "line 2: a record after the end-of-file record of line 1", 0, 0},
        // Segment 0x1000: the last 8 bytes of a record at FFF8 wrap to 0x10000, not 0x20000.
        {"segment address wraps",
         ":020000021000EC\n:10FFF8000102030405060708090A0B0C0D0E0F1071\n"
         ":00000001FF\n",
         F::Hex, "", 0x10000, 16, 0x10000},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        FlashImage image;
        const bool ok = image.parse(row.contents, row.format, base, row.flash, size);
        EXPECT_EQ(image.error().toStdString(), row.error);
        EXPECT_EQ(ok, row.error[0] == '\0');
        if (ok) {
            EXPECT_EQ(image.lowest(), row.lowest);
            EXPECT_EQ(image.byteCount(), row.bytes);
        } else {
            EXPECT_TRUE(image.segments().isEmpty());
        }
    }
    // The name decides first; a backup written as HEX reads back as the same runs.
    EXPECT_EQ(FlashImage::formatOfName(QStringLiteral("fw.IHX")), F::Hex);
    EXPECT_EQ(FlashImage::formatOfName(QStringLiteral("fw.bin")), F::Binary);
    EXPECT_EQ(FlashImage::formatOfName(QStringLiteral("fw.hex.orig")), F::Detect);
    const QList<FlashImage::Segment> runs = {{base + 0xFFF0, QByteArray(40, '\7')},
                                             {base + 0x20000, QByteArray(3, '\0')}};
    FlashImage back;
    ASSERT_TRUE(back.parse(FlashImage::toHex(runs), F::Detect, 0, base, 256 * 1024))
        << back.error().toStdString();
    ASSERT_EQ(back.segments().size(), 2);
    EXPECT_EQ(back.segments()[0].address, runs[0].address);
    EXPECT_EQ(back.segments()[0].bytes, runs[0].bytes);
    EXPECT_EQ(back.segments()[1].bytes, runs[1].bytes);
}

TEST(FlashPlans, ErasePagesAndWriteAlignedPaddedBlocksWithTheFirstWordLast)
{
    struct Row {
        const char *what;
        QList<FlashImage::Segment> runs;
        quint32 pageSize;
        int unit;
        QList<quint16> pages;
        // Blocks in write order: address offset, size, and the first bytes.
        QList<std::tuple<quint32, int, QByteArray>> blocks;
        const char *error = "";
    };
    const QByteArray ff4 = QByteArray(4, char(0xFF));
    const Row rows[] = {
        {"across a page border, double words",
         {{base + 0xFFE, QByteArray::fromHex("010203")}},
         2048,
         8,
         {1, 2},
         {{0x1000, 8, QByteArray::fromHex("03FFFFFFFFFFFFFF")},
          {0xFF8, 8, QByteArray::fromHex("FFFFFFFFFFFF0102")}}},
        {"quad words",
         {{base + 0xFFE, QByteArray::fromHex("010203")}},
         8192,
         16,
         {0},
         {{0x1000, 16, QByteArray::fromHex("03FF")}, {0xFF0, 16, ff4 + ff4 + ff4}}},
        {"300 bytes behind the image's start, gaps padded",
         {{base + 0x2004, QByteArray(300, '\5')}},
         2048,
         8,
         {4},
         {{0x2100, 48, QByteArray(4, '\5')}, {0x2000, 256, ff4 + '\5'}}},
        {"small pages cut blocks",
         {{base, QByteArray(300, '\6')}},
         128,
         8,
         {0, 1, 2},
         {{0x80, 128, QByteArray(1, '\6')},
          {0x100, 48, QByteArray(1, '\6')},
          {0, 128, QByteArray(1, '\6')}}},
        {"pages past what Extended Erase names, never cut to page 0",
         {{base + 0x3FFFF8, QByteArray(16, '\7')}},
         64,
         8,
         {},
         {},
         "page 65536 (at 0x08400000) is past the 65536 pages Extended Erase can name: pages of 64 "
         "bytes are too small for this flash"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        FlashImage image;
        QList<FlashImage::Segment> runs = row.runs;
        ASSERT_TRUE(
            image.parse(FlashImage::toHex(runs), FlashImage::Format::Hex, 0, base, 8 << 20));
        const FlashPlan plan(image, base, row.pageSize, row.unit, false);
        EXPECT_EQ(plan.error().toStdString(), row.error);
        EXPECT_EQ(plan.pages(), row.pages);
        ASSERT_EQ(plan.blocks().size(), row.blocks.size());
        for (int i = 0; i < row.blocks.size(); ++i) {
            SCOPED_TRACE(i);
            const FlashPlan::Block &b = plan.blocks().at(i);
            EXPECT_EQ(b.address, base + std::get<0>(row.blocks[i]));
            EXPECT_EQ(b.bytes.size(), std::get<1>(row.blocks[i]));
            EXPECT_TRUE(b.bytes.startsWith(std::get<2>(row.blocks[i]))) << b.bytes.toHex().data();
            EXPECT_EQ(b.address % quint32(row.unit), 0u);
            EXPECT_EQ(b.bytes.size() % row.unit, 0);
            EXPECT_EQ(b.page, int((b.address - base) / row.pageSize));
        }
    }
}
