// A shield stuck in its STM32 bootloader, with the real programs: the driver shows it in its
// status document and on standard error, stm-flash refuses the bus while the driver holds it,
// a run cut half-way leaves the shield in its bootloader, the next one writes, verifies and
// starts a firmware image through faults on flash with error correction, and the shield comes up
// under the driver with the image's firmware number; images and protection that stm-flash
// refuses; and the same through the board path (the stand-in kernel preloaded into both).

#include "support/e2eprocess.h"

#include "link/flashimage.h"
#include "sim/bootloadermodel.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

// stm-flash is built beside stm-status.
QString flashTool()
{
    return QFileInfo(QStringLiteral(STM_STATUS_PATH)).dir().filePath(QStringLiteral("stm-flash"));
}

// The image of the tests: 64 KiB that declares firmware 4242.
const quint16 newFirmware = 4242;
QByteArray image()
{
    return BootloaderModel::makeImage(64 * 1024, newFirmware);
}

QString writeFile(const QTemporaryDir &dir, const QString &name, const QByteArray &bytes)
{
    QFile f(dir.filePath(name));
    f.open(QIODevice::WriteOnly);
    f.write(bytes);
    return f.fileName();
}

struct FlashRun {
    int status = -1;
    QString out;
    QString err;
};

FlashRun runFlash(const QStringList &args,
                  const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment())
{
    E2eProcess tool(QStringLiteral("stm-flash"), flashTool(), args, env);
    FlashRun r;
    if (!tool.waitForFinished(120000))
        return r;
    r.status = tool.exitStatus() == QProcess::NormalExit ? tool.exitCode() : -2;
    r.out = tool.lines().join(QLatin1Char('\n'));
    r.err = tool.err();
    return r;
}

std::string show(const FlashRun &r)
{
    return QStringLiteral("status %1\n--- stdout\n%2\n--- stderr\n%3")
        .arg(r.status)
        .arg(r.out, r.err)
        .toStdString();
}

// The simulator's status line of one shield ("shield N: in bootloader, audio off, ...").
QString simStatus(E2eProcess &sim, int shield)
{
    const int from = sim.lineCount();
    sim.writeLine(QStringLiteral("status"));
    QString found;
    E2eProcess::waitUntil([&] {
        const QStringList lines = sim.lines();
        for (int i = from; i < lines.size(); ++i) {
            if (lines.at(i).startsWith(QStringLiteral("shield %1: ").arg(shield)) &&
                lines.at(i).contains(QStringLiteral(", audio ")))
                found = lines.at(i);
        }
        return !found.isEmpty();
    });
    return found;
}

const QRegularExpression stuckLine(
    QStringLiteral("#WARNING: shield (\\d) stays in its STM32 bootloader: its application does "
                   "not start \\((\\d+) hand-offs tried\\); stm-flash\\(1\\) writes its firmware"));

}  // namespace

TEST(E2eStmFlash, BlankShieldIsSeenThenWrittenThroughFaultsAndComesUpWithItsFirmware)
{
    QTemporaryDir dir;
    const QString status = dir.filePath(QStringLiteral("status.sock"));
    E2ePair pair({QStringLiteral("--shields"), QStringLiteral("0,1"),
                  QStringLiteral("--multishield"), QStringLiteral("--flash-ecc"),
                  QStringLiteral("8"), QStringLiteral("--flash-stop-after"), QStringLiteral("100")},
                 {QStringLiteral("-multishield"), QStringLiteral("-status"), status}, false);
    ASSERT_TRUE(pair.started()) << pair.describe();
    pair.sim().writeLine(QStringLiteral("blank 1"));
    ASSERT_GE(pair.driver().waitForLine(QStringLiteral("0 shield_ready")), 0) << pair.describe();

    // Seen: the document's state and counts, stm-status, and one line after ten seconds.
    QJsonObject shield;
    ASSERT_TRUE(E2eProcess::waitUntil([&] {
        shield = statusShield(askStatus(status), 1);
        return shield.value(QStringLiteral("state")).toString() == QLatin1String("bootloader") &&
               shield.value(QStringLiteral("bootloader_handoffs")).toInt() > 1;
    })) << pair.describe();
    EXPECT_EQ(
        statusShield(askStatus(status), 0).value(QStringLiteral("bootloader_handoffs")).toInt(), 0);
    ASSERT_TRUE(pair.driver().waitForErr(QStringLiteral("#WARNING: shield 1 stays"), 60000))
        << pair.describe();
    shield = statusShield(askStatus(status), 1);
    EXPECT_GE(shield.value(QStringLiteral("bootloader_since_s")).toInt(), 10);
    QProcess statusTool;
    statusTool.start(QStringLiteral(STM_STATUS_PATH), {QStringLiteral("-s"), status});
    ASSERT_TRUE(statusTool.waitForFinished(30000));
    const QString table = QString::fromUtf8(statusTool.readAllStandardOutput());
    EXPECT_TRUE(table.contains(QRegularExpression(QStringLiteral("\\n1 +BOOTLOADER "))))
        << table.toStdString();
    EXPECT_TRUE(table.contains(QStringLiteral("stm-flash(1) writes its firmware")))
        << table.toStdString();

    // A running driver keeps the bus: stm-flash names it and touches nothing.
    const QString hexImage = writeFile(dir, QStringLiteral("app.hex"),
                                       FlashImage::toHex({{BootloaderModel::flashBase, image()}}));
    const QStringList flashArgs = {
        QStringLiteral("-simbus"), pair.socketPath(),   QStringLiteral("-multishield"),
        QStringLiteral("-shield"), QStringLiteral("1"), hexImage};
    FlashRun refused = runFlash(flashArgs);
    EXPECT_EQ(refused.status, 1) << show(refused);
    EXPECT_TRUE(refused.err.contains(QStringLiteral("(pid %1)").arg(pair.driver().pid())))
        << show(refused);
    EXPECT_TRUE(refused.err.contains(QStringLiteral("stop the host's driver first")))
        << show(refused);

    // The line came once; standard output never spoke of the shield.
    pair.driver().kill();
    const QString err = pair.driver().err();
    EXPECT_EQ(err.count(stuckLine), 1) << err.toStdString();
    const QRegularExpressionMatch m = stuckLine.match(err);
    EXPECT_GE(m.captured(2).toInt(), 2);
    EXPECT_EQ(pair.driver().count(QStringLiteral("1 shield_ready")), 0);

    // The chip stops answering after 100 writes: the first word is still blank, so the shield
    // starts its bootloader again. The next run completes, through a refused block and a write
    // whose acknowledge was lost on flash with error correction.
    const FlashRun cut = runFlash(flashArgs);
    EXPECT_EQ(cut.status, 1) << show(cut);
    EXPECT_TRUE(
        cut.err.contains(QStringLiteral("Write Memory (0x31) at 0x08006500: no answer in "
                                        "time; reading the block back: ")))
        << show(cut);
    EXPECT_TRUE(
        cut.err.contains(QStringLiteral("the block at 0x08000000 with its first word is "
                                        "not written yet")))
        << show(cut);
    pair.sim().writeLine(QStringLiteral("blfault 1 nack write 20"));
    pair.sim().writeLine(QStringLiteral("blfault 1 ackloss write 100"));
    const FlashRun written = runFlash(flashArgs);
    ASSERT_EQ(written.status, 0) << show(written);
    EXPECT_TRUE(written.out.contains(QStringLiteral("image ") + hexImage +
                                     QStringLiteral(": Intel HEX, 65536 bytes")))
        << show(written);
    EXPECT_TRUE(written.out.contains(QStringLiteral("product ID 0x460"))) << show(written);
    EXPECT_TRUE(
        written.out.contains(QStringLiteral("wrote 65536 bytes in 256 blocks and verified "
                                            "them, the block at 0x08000000 last")))
        << show(written);
    EXPECT_TRUE(
        written.out.contains(QStringLiteral("(1 write unacknowledged but read back intact; "
                                            "1 page erased and written again)")))
        << show(written);
    EXPECT_TRUE(written.out.contains(QStringLiteral("started: Go to 0x08000000 acknowledged")));
    EXPECT_TRUE(written.err.contains(QStringLiteral("stm-flash: write 50%"))) << show(written);
    EXPECT_TRUE(simStatus(pair.sim(), 1)
                    .startsWith(QStringLiteral("shield 1: running, firmware %1").arg(newFirmware)));

    // The host's driver again: the shield comes into service with the new firmware.
    const QString status2 = dir.filePath(QStringLiteral("status2.sock"));
    E2eProcess driver(QStringLiteral("stm-driver"), QStringLiteral(STM_DRIVER_PATH),
                      {QStringLiteral("-multishield"), QStringLiteral("-status"), status2,
                       QStringLiteral("-simbus"), pair.socketPath()});
    ASSERT_GE(driver.waitForLine(QStringLiteral("1 shield_ready")), 0) << driver.describe();
    const int block = driver.lines().indexOf(QStringLiteral("Address: 1"));
    ASSERT_GE(block, 0) << driver.describe();
    EXPECT_EQ(driver.lines().at(block + 2), QStringLiteral("Program_STM: %1").arg(newFirmware));
    shield = statusShield(askStatus(status2), 1);
    EXPECT_EQ(shield.value(QStringLiteral("state")).toString(), QStringLiteral("online"));
    EXPECT_EQ(shield.value(QStringLiteral("firmware")).toInt(), newFirmware);
    EXPECT_EQ(shield.value(QStringLiteral("bootloader_handoffs")).toInt(), 0);
}

TEST(E2eStmFlash, RefusesBadImagesProtectionAndRunningApplicationsAndTouchesNothing)
{
    QTemporaryDir dir;
    const QString socket = dir.filePath(QStringLiteral("bus.sock"));
    E2eProcess sim(QStringLiteral("shield-sim"), QStringLiteral(SHIELD_SIM_PATH),
                   {QStringLiteral("--socket"), socket, QStringLiteral("--shields"),
                    QStringLiteral("0"), QStringLiteral("--single")});
    ASSERT_GE(sim.waitForPrefix(QStringLiteral("shield-sim listening")), 0) << sim.describe();
    sim.writeLine(QStringLiteral("blank 0"));
    ASSERT_TRUE(simStatus(sim, 0).contains(QStringLiteral("in bootloader")));
    const QString good = writeFile(dir, QStringLiteral("app.bin"), image());
    const QStringList bus = {QStringLiteral("-simbus"), socket};

    // A bad file is refused before the bus is touched: the simulator never sees a client. (Every
    // kind of bad file is a row of the image parser's own table.)
    const FlashRun bad = runFlash(
        bus + QStringList{writeFile(dir, QStringLiteral("bad.hex"),
                                    ":020000040800F2\n:0400000001020304F3\n:00000001FF\n")});
    EXPECT_EQ(bad.status, 1) << show(bad);
    EXPECT_TRUE(bad.err.contains(
        QStringLiteral("line 2: bad checksum (the record's bytes sum to 0x01, not 0)")))
        << show(bad);
    EXPECT_FALSE(sim.lines().contains(QStringLiteral("driver connected"))) << sim.describe();

    // Larger than this chip's flash, found from its product ID: nothing erased.
    const FlashRun large = runFlash(bus + QStringList{writeFile(dir, QStringLiteral("large.bin"),
                                                                QByteArray(129 * 1024, '\1'))});
    EXPECT_EQ(large.status, 1) << show(large);
    EXPECT_TRUE(large.err.contains(QStringLiteral("past the end of the flash of 128 KiB")))
        << show(large);

    // A smaller part of the family tells its size; where its register cannot be read, the family's
    // largest is assumed and the bootloader's refusal to read past the end refuses the image. No
    // page is erased, and protection is never blamed nor removed.
    sim.writeLine(QStringLiteral("flash 0 65536 2048"));
    const QString past = writeFile(dir, QStringLiteral("96k.bin"), QByteArray(96 * 1024, '\1'));
    const FlashRun small = runFlash(bus + QStringList{QStringLiteral("--unprotect"), past});
    EXPECT_EQ(small.status, 1) << show(small);
    EXPECT_TRUE(
        small.out.contains(QStringLiteral("flash: 64 KiB from 0x08000000 (read from its "
                                          "flash size register)")))
        << show(small);
    EXPECT_TRUE(small.err.contains(QStringLiteral("past the end of the flash of 64 KiB")))
        << show(small);
    sim.writeLine(QStringLiteral("blfault 0 nack read"));
    const FlashRun unread = runFlash(bus + QStringList{QStringLiteral("--unprotect"), past});
    EXPECT_EQ(unread.status, 1) << show(unread);
    EXPECT_TRUE(
        unread.out.contains(QStringLiteral("flash: 128 KiB from 0x08000000 (the family's "
                                           "largest, assumed)")))
        << show(unread);
    EXPECT_TRUE(
        unread.err.contains(QStringLiteral("the image ends at 0x08017fff, past the end of "
                                           "this part's flash")))
        << show(unread);
    EXPECT_FALSE(unread.err.contains(QStringLiteral("protect")) ||
                 unread.out.contains(QStringLiteral("protect")))
        << show(unread);
    sim.writeLine(QStringLiteral("flash 0 131072 2048"));

    // A write-protected page is named, and nothing is written.
    sim.writeLine(QStringLiteral("protect 0 5"));
    const FlashRun prot = runFlash(bus + QStringList{good});
    EXPECT_EQ(prot.status, 1) << show(prot);
    EXPECT_TRUE(
        prot.err.contains(QStringLiteral("page 5 (0x08002800 to 0x08002fff) is write-protected")))
        << show(prot);
    EXPECT_TRUE(prot.err.contains(QStringLiteral("--unprotect"))) << show(prot);
    EXPECT_FALSE(prot.out.contains(QStringLiteral("wrote"))) << show(prot);
    EXPECT_TRUE(simStatus(sim, 0).contains(QStringLiteral("in bootloader")));

    // --dry-run changes nothing; --unprotect removes the protection and writes.
    const FlashRun dry = runFlash(bus + QStringList{QStringLiteral("--dry-run"), good});
    EXPECT_EQ(dry.status, 0) << show(dry);
    EXPECT_TRUE(dry.out.contains(QStringLiteral("plan: erase pages 0 to 31 (32 pages)")))
        << show(dry);
    // Under read-out protection nothing can be saved first; removing it, the chip erases for a
    // while, silent, and stm-flash waits for it rather than resetting it.
    sim.writeLine(QStringLiteral("protect 0 readout"));
    sim.writeLine(QStringLiteral("flashtime 0 2 0 1500"));
    const FlashRun noBackup =
        runFlash(bus + QStringList{QStringLiteral("--unprotect"), QStringLiteral("--backup"),
                                   dir.filePath(QStringLiteral("b.hex")), good});
    EXPECT_EQ(noBackup.status, 1) << show(noBackup);
    EXPECT_TRUE(noBackup.err.contains(QStringLiteral("so --backup cannot save the flash")))
        << show(noBackup);
    const FlashRun unprotected = runFlash(bus + QStringList{QStringLiteral("--unprotect"), good});
    EXPECT_EQ(unprotected.status, 0) << show(unprotected);
    EXPECT_TRUE(unprotected.out.contains(QStringLiteral("removing the read-out protection")))
        << show(unprotected);

    // Now the application runs: stm-flash says how to reach the bootloader.
    const FlashRun app = runFlash(bus + QStringList{good});
    EXPECT_EQ(app.status, 2) << show(app);
    EXPECT_TRUE(app.err.contains(
        QStringLiteral("shield 0 runs its application (firmware %1)").arg(newFirmware)))
        << show(app);
    EXPECT_TRUE(app.err.contains(QStringLiteral("boot jumper"))) << show(app);

    // With the jumper: the flash verifies against the image, and backs up into a new file only.
    sim.writeLine(QStringLiteral("bootjumper 0 on"));
    const FlashRun same = runFlash(bus + QStringList{QStringLiteral("--verify-only"), good});
    EXPECT_EQ(same.status, 0) << show(same);
    QByteArray other = image();
    other[40000] = 0;
    const FlashRun differs =
        runFlash(bus + QStringList{QStringLiteral("--verify-only"),
                                   writeFile(dir, QStringLiteral("o.bin"), other)});
    EXPECT_EQ(differs.status, 1) << show(differs);
    EXPECT_TRUE(differs.err.contains(QStringLiteral("verify: 0x08009c40 holds 0x")))
        << show(differs);
    // --backup saves the pages it erases as HEX that reads back as the image they held.
    const QString saved = dir.filePath(QStringLiteral("saved.hex"));
    const FlashRun replaced = runFlash(bus + QStringList{QStringLiteral("--backup"), saved,
                                                         dir.filePath(QStringLiteral("o.bin"))});
    EXPECT_EQ(replaced.status, 0) << show(replaced);
    FlashImage savedImage;
    ASSERT_TRUE(savedImage.load(saved, FlashImage::Format::Detect, 0, BootloaderModel::flashBase,
                                128 * 1024))
        << savedImage.error().toStdString();
    EXPECT_EQ(savedImage.segments().size(), 1);
    EXPECT_EQ(savedImage.segments().value(0).bytes, image());
    const QString backup = dir.filePath(QStringLiteral("backup.bin"));
    const FlashRun read =
        runFlash(bus + QStringList{QStringLiteral("--read"), backup, QStringLiteral("--length"),
                                   QStringLiteral("64K")});
    EXPECT_EQ(read.status, 0) << show(read);
    QFile b(backup);
    ASSERT_TRUE(b.open(QIODevice::ReadOnly));
    EXPECT_EQ(b.readAll(), other);
    const FlashRun again =
        runFlash(bus + QStringList{QStringLiteral("--read"), backup, QStringLiteral("--length"),
                                   QStringLiteral("1K")});
    EXPECT_EQ(again.status, 1) << show(again);
    EXPECT_TRUE(again.err.contains(QStringLiteral("cannot create"))) << show(again);
}

TEST(E2eStmFlash, WritesThroughTheBoardPathWhenTheDriverHasLetGo)
{
    QTemporaryDir dir;
    E2ePair pair({QStringLiteral("--shields"), QStringLiteral("0,2"),
                  QStringLiteral("--multishield"), QStringLiteral("--verbose")},
                 {QStringLiteral("-multishield")}, false, E2ePair::standin());
    ASSERT_TRUE(pair.started()) << pair.describe();
    pair.sim().writeLine(QStringLiteral("blank 2"));
    ASSERT_GE(pair.driver().waitForLine(QStringLiteral("0 shield_ready")), 0) << pair.describe();
    // The driver hands the blank shield off on the board path too, again and again.
    ASSERT_TRUE(E2eProcess::waitUntil([&] {
        return pair.sim().lines().count(QStringLiteral(
                   "shield 2: bootloader: go to 0x08000000: no application there")) > 3;
    })) << pair.describe();

    const QProcessEnvironment env = pair.driverEnvironment();
    const QStringList args = {QStringLiteral("-multishield"), QStringLiteral("-shield"),
                              QStringLiteral("2"),
                              writeFile(dir, QStringLiteral("app.bin"), image())};
    const FlashRun refused = runFlash(args, env);
    EXPECT_EQ(refused.status, 1) << show(refused);
    EXPECT_TRUE(refused.err.contains(QStringLiteral("/dev/spidev1.1 is in use by another driver "
                                                    "(pid %1)")
                                         .arg(pair.driver().pid())))
        << show(refused);

    pair.driver().kill();
    const FlashRun written = runFlash(args, env);
    ASSERT_EQ(written.status, 0) << show(written);
    EXPECT_TRUE(written.out.contains(
        QStringLiteral("shield 2 runs its application: firmware %1").arg(newFirmware)))
        << show(written);
    EXPECT_TRUE(
        written.err.contains(QStringLiteral("#SPI: /dev/spidev1.1 opened, mode 0, 500000 Hz")))
        << show(written);

    E2eProcess driver(QStringLiteral("stm-driver"), QStringLiteral(STM_DRIVER_PATH),
                      testDriverArgs({QStringLiteral("-multishield")}), env);
    ASSERT_GE(driver.waitForLine(QStringLiteral("2 shield_ready")), 0) << driver.describe();
    EXPECT_TRUE(driver.lines().contains(QStringLiteral("Program_STM: %1").arg(newFirmware)));
}
