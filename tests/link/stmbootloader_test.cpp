// The host side of the STM32 bootloader (stm-flash's engine) against the simulator's device:
// a whole write, verify and start; faults retried; protection refused and named; and the
// image files checked before anything reaches the bus.
#include "link/stmbootloader.h"
#include "link/flashimage.h"

#include "board/board.h"
#include "sim/shieldmodel.h"

#include <gtest/gtest.h>

#include <cstring>

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

// Erases the image's pages, writes it in blocks and reads every block back.
void writeAndVerify(StmBootloader &host, const FlashImage &image)
{
    ASSERT_TRUE(host.erasePages(image.pages(base, 2048))) << host.error().toStdString();
    const QList<FlashImage::Segment> blocks = image.blocks(StmBootloader::maxBlock, 8);
    for (const FlashImage::Segment &b : blocks)
        ASSERT_TRUE(host.writeMemory(b.address, b.bytes)) << host.error().toStdString();
    for (const FlashImage::Segment &b : blocks) {
        QByteArray back;
        ASSERT_TRUE(host.readMemory(b.address, b.bytes.size(), &back))
            << host.error().toStdString();
        ASSERT_EQ(back, b.bytes) << StmBootloader::hex(b.address).toStdString();
    }
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

    FlashImage image;
    ASSERT_TRUE(image.parse(BootloaderModel::makeImage(64 * 1024, 4242), FlashImage::Format::Detect,
                            base, base, 128 * 1024));
    writeAndVerify(host, image);
    EXPECT_EQ(model.flash().left(64 * 1024), BootloaderModel::makeImage(64 * 1024, 4242));
    EXPECT_EQ(host.retries(), 0);
    ASSERT_TRUE(host.go(base));
    EXPECT_FALSE(model.inBootloader());
    EXPECT_EQ(model.firmware(), 4242);
}

TEST(StmBootloaderOnModel, RetriesNacksLostBytesAndSilenceAndStillVerifies)
{
    struct Row {
        const char *what;
        BootloaderModel::Fault fault;
        const char *command;
        int nth;
    };
    const Row rows[] = {
        {"write refused", BootloaderModel::Fault::Nack, "write", 20},
        {"byte of a block lost", BootloaderModel::Fault::LoseByte, "write", 40},
        {"write never answered", BootloaderModel::Fault::Timeout, "write", 7},
        {"erase refused", BootloaderModel::Fault::Nack, "erase", 1},
        {"read address byte lost", BootloaderModel::Fault::LoseByte, "read", 3},
        {"id never answered", BootloaderModel::Fault::Timeout, "id", 1},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        ShieldModel model;
        model.eraseFlash();
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
        FlashImage image;
        ASSERT_TRUE(image.parse(BootloaderModel::makeImage(16 * 1024, 7),
                                FlashImage::Format::Binary, base, base, 128 * 1024));
        writeAndVerify(host, image);
        EXPECT_EQ(host.retries(), 1);
    }
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
    ASSERT_TRUE(host.readoutUnprotect());
    EXPECT_EQ(model.flash(), QByteArray(128 * 1024, char(0xFF)));
    ASSERT_TRUE(host.sync());
    EXPECT_TRUE(host.readMemory(base, 16, &data));
}

TEST(FlashImageFiles, AreCheckedBeforeTheBus)
{
    struct Row {
        const char *what;
        QByteArray contents;
        FlashImage::Format format;
        const char *error;  // empty: good
        quint32 lowest;
        qint64 bytes;
    };
    const quint32 size = 64 * 1024;
    const QByteArray hexGood =
        ":020000040800F2\n:0400000001020304F2\n:04001000AABBCCDDDE\n"
        ":00000001FF\n";
    const Row rows[] = {
        {"binary", QByteArray(1000, 'x'), FlashImage::Format::Detect, "", base, 1000},
        {"hex with two runs", hexGood, FlashImage::Format::Detect, "", base, 8},
        {"empty", QByteArray(), FlashImage::Format::Detect, "the image is empty", 0, 0},
        {"binary larger than the flash", QByteArray(size + 1, 'x'), FlashImage::Format::Detect,
         "65537 bytes from 0x08000000: larger than the flash of 65536 bytes (0x08000000 to "
         "0x0800ffff)",
         0, 0},
        {"bad checksum", ":0400000001020304F3\n", FlashImage::Format::Detect,
         "line 1: bad checksum (the record's bytes sum to 0x01, not 0)", 0, 0},
        {"hex below the flash", ":0400000001020304F2\n", FlashImage::Format::Hex,
         "data at 0x00000000, outside the flash (0x08000000 to 0x0800ffff)", 0, 0},
        {"hex past the flash end", ":020000040801F1\n:0400000001020304F2\n",
         FlashImage::Format::Hex,
         "data at 0x08010000, outside the flash (0x08000000 to 0x0800ffff)", 0, 0},
        {"short record", ":04000000010203F2\n", FlashImage::Format::Hex,
         "line 1: its length byte says 4 data bytes, it holds 3", 0, 0},
        {"forced hex on binary", QByteArray("\x01\x02", 2), FlashImage::Format::Hex,
         "line 1: not an Intel HEX record", 0, 0},
        {"record after the end", ":00000001FF\n:0400000001020304F2\n", FlashImage::Format::Hex,
         "line 2: a record after the end-of-file record", 0, 0},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        FlashImage image;
        const bool ok = image.parse(row.contents, row.format, base, base, size);
        EXPECT_EQ(image.error().toStdString(), row.error);
        EXPECT_EQ(ok, row.error[0] == '\0');
        if (ok) {
            EXPECT_EQ(image.lowest(), row.lowest);
            EXPECT_EQ(image.byteCount(), row.bytes);
        } else {
            EXPECT_TRUE(image.segments().isEmpty());
        }
    }
}

TEST(FlashImageFiles, CoverExactlyTheirPagesInAlignedPaddedBlocks)
{
    FlashImage image;
    // 3 bytes at 0x08000FFE (over a page border), 300 bytes at 0x08002001.
    QByteArray hex = ":020000040800F2\n";
    hex += ":030FFE00010203EA\n";
    ASSERT_TRUE(image.parse(hex, FlashImage::Format::Hex, base, base, 64 * 1024))
        << image.error().toStdString();
    EXPECT_EQ(image.pages(base, 2048), (QList<quint16>{1, 2}));
    EXPECT_EQ(image.pages(base, 1024), (QList<quint16>{3, 4}));
    const QList<FlashImage::Segment> blocks = image.blocks(256, 8);
    ASSERT_EQ(blocks.size(), 2);
    EXPECT_EQ(blocks[0].address, base + 0xFF8);
    EXPECT_EQ(blocks[0].bytes, QByteArray::fromHex("FFFFFFFFFFFF0102"));
    EXPECT_EQ(blocks[1].address, base + 0x1000);
    EXPECT_EQ(blocks[1].bytes, QByteArray::fromHex("03FFFFFFFFFFFFFF"));

    ASSERT_TRUE(image.parse(QByteArray(300, '\5'), FlashImage::Format::Binary, base + 0x2000 + 4,
                            base, 64 * 1024));
    const QList<FlashImage::Segment> runs = image.blocks(256, 8);
    ASSERT_EQ(runs.size(), 2);
    EXPECT_EQ(runs[0].address, base + 0x2000);
    EXPECT_EQ(runs[0].bytes.size(), 256);
    EXPECT_EQ(runs[0].bytes.left(5), QByteArray::fromHex("FFFFFFFF05"));
    EXPECT_EQ(runs[1].address, base + 0x2100);
    EXPECT_EQ(runs[1].bytes.size(), 48);  // 48 bytes of image, already a multiple of 8
}
