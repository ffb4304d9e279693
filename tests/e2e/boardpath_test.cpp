// The driver on its hardware path, without the board: the unmodified stm-driver with the
// stand-in kernel preloaded (tests/support/standin), which serves the pin controller's GPIO chip
// and the spidev node and hands every line level and transfer to shield-sim. The stand-in
// aborts the driver on any request the board would not take, so every scenario here also
// checks the SPI set-up, the line requests, the chip selects and the reset pulse. Then what
// the board path does when the kernel's side fails, and one driver per bus.

#include "support/e2eprocess.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

namespace {

const QString pushed = QStringLiteral("#Shield update black list");

QStringList simArgs(bool multi, const QString &shields)
{
    return {QStringLiteral("--shields"), shields,
            multi ? QStringLiteral("--multishield") : QStringLiteral("--single")};
}

QStringList errLines(const E2eProcess &p)
{
    return p.err().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// Whether the driver ended by a signal (the stand-in's abort on a request it refuses).
bool crashed(E2ePair &pair)
{
    return !pair.driver().running() && pair.driver().exitStatus() == QProcess::CrashExit;
}

}  // namespace

TEST(E2eBoardPath, BringsShieldsIntoServiceOnEveryPinMap)
{
    struct Case {
        const char *board;  // nullptr: the simulated bus, for the bring-up time beside it
        bool multi;
        QString shields;
        QString spidev;
        QString spiHz = QString();  // the shields' clock, given to the driver and the stand-in alike
    };
    const Case cases[] = {
        {"opizero", false, QStringLiteral("0"), QStringLiteral("/dev/spidev1.1")},
        {"h3", false, QStringLiteral("0"), QStringLiteral("/dev/spidev0.0")},
        {"opizero", true, QStringLiteral("0,2,5"), QStringLiteral("/dev/spidev1.1")},
        {"h3", true, QStringLiteral("1,4"), QStringLiteral("/dev/spidev0.0")},
        {"opizero", true, QStringLiteral("0,5"), QStringLiteral("/dev/spidev1.1"),
         QStringLiteral("2000000")},
        {nullptr, false, QStringLiteral("0"), QString()},
        {nullptr, true, QStringLiteral("0,2,5"), QString()},
    };
    for (const Case &c : cases) {
        const QString board = QString::fromLatin1(c.board ? c.board : "simulated bus");
        SCOPED_TRACE(board.toStdString() + (c.multi ? " multi" : " single"));
        QStringList driverArgs;
        if (c.board)
            driverArgs << QStringLiteral("-board") << board;
        if (c.multi)
            driverArgs << QStringLiteral("-multishield");
        QStringList standin{QStringLiteral("STM_STANDIN_BOARD=") + board};
        if (!c.spiHz.isEmpty()) {
            driverArgs << QStringLiteral("-spi-hz") << c.spiHz;
            standin << QStringLiteral("STM_STANDIN_SPI_HZ=") + c.spiHz;
        }
        QElapsedTimer clock;
        clock.start();
        E2ePair pair(simArgs(c.multi, c.shields), driverArgs, false,
                     c.board ? E2ePair::standin(standin) : E2ePair::OnBoard());
        ASSERT_TRUE(pair.started()) << pair.describe();
        for (const QString &s : c.shields.split(QLatin1Char(','))) {
            const QString ready = c.multi ? s + QStringLiteral(" shield_ready")
                                          : QStringLiteral("shield_ready");
            ASSERT_GE(pair.driver().waitForLine(ready), 0) << pair.describe();
        }
        // For the record, not a check: how long the bring-up took on this machine.
        std::printf("bring-up, %s %s: %lld ms\n", qPrintable(board), c.multi ? "multi" : "single",
                    static_cast<long long>(clock.elapsed()));
        if (c.board) {
            const QString hz = c.spiHz.isEmpty() ? QStringLiteral("1562500") : c.spiHz;
            EXPECT_TRUE(pair.driver().err().contains(QStringLiteral("#SPI: ") + c.spidev +
                                                     QStringLiteral(" opened, mode 0, ") + hz +
                                                     QStringLiteral(" Hz")))
                << pair.describe();
        }
        // Shields not present never come into service.
        for (int s = 0; s < 6 && c.multi; ++s) {
            if (!c.shields.split(QLatin1Char(',')).contains(QString::number(s))) {
                EXPECT_EQ(pair.driver().count(QStringLiteral("%1 shield_ready").arg(s)), 0);
            }
        }
        EXPECT_TRUE(pair.driver().running()) << pair.describe();
    }
}

TEST(E2eBoardPath, EventsCommandsLinkLossAndRestart)
{
    E2ePair pair(simArgs(false, QStringLiteral("0")), {}, false, E2ePair::standin());
    ASSERT_TRUE(pair.started()) << pair.describe();
    ASSERT_GE(pair.driver().waitForLine(pushed), 0) << pair.describe();

    // An event up, a command down.
    int from = pair.driver().lineCount();
    pair.sim().writeLine(QStringLiteral("dial 0 300"));
    EXPECT_GE(pair.driver().waitForLine(QStringLiteral("dial 300"), from), 0) << pair.describe();
    int simFrom = pair.sim().lineCount();
    pair.driver().writeLine(QStringLiteral("open 7"));
    EXPECT_TRUE(pair.waitExecuted(0, QStringLiteral("open door 7"), simFrom)) << pair.describe();
    pair.sim().writeLine(QStringLiteral("hangup 0"));
    EXPECT_GE(pair.driver().waitForLine(QStringLiteral("drop"), from), 0) << pair.describe();

    // The shield falls silent and comes back.
    from = pair.driver().lineCount();
    pair.sim().writeLine(QStringLiteral("mute 0"));
    ASSERT_GE(pair.driver().waitForLine(QStringLiteral("shield_disconect"), from, 60000), 0)
        << pair.describe();
    from = pair.driver().lineCount();
    pair.sim().writeLine(QStringLiteral("unmute 0"));
    ASSERT_GE(pair.driver().waitForLine(pushed, from), 0) << pair.describe();

    // A bootloader byte reboots every shield: the stand-in checks the reset pulse.
    from = pair.driver().lineCount();
    pair.sim().writeLine(QStringLiteral("ack79 0"));
    ASSERT_TRUE(pair.driver().waitForErr(QStringLiteral("#Restart ALL Shields")))
        << pair.describe();
    ASSERT_GE(pair.driver().waitForLine(QStringLiteral("shield_ready"), from), 0)
        << pair.describe();
    EXPECT_TRUE(pair.driver().running()) << pair.describe();
}

TEST(E2eBoardPath, AudioBothWays)
{
    E2ePair pair(simArgs(true, QStringLiteral("1")),
                 {QStringLiteral("-multishield"), QStringLiteral("-board"), QStringLiteral("h3")},
                 true, E2ePair::standin({QStringLiteral("STM_STANDIN_BOARD=h3")}));
    ASSERT_TRUE(pair.started()) << pair.describe();
    ASSERT_GE(pair.driver().waitForLine(QStringLiteral("#Shield 1 update black list")), 0)
        << pair.describe();
    AudioHost host(20004);
    ASSERT_TRUE(host.listening);
    pair.sim().writeLine(QStringLiteral("loopback 1 on"));
    const int simFrom = pair.sim().lineCount();
    pair.driver().writeLine(QStringLiteral("1 pickup"));
    ASSERT_TRUE(pair.waitExecuted(1, QStringLiteral("audio on"), simFrom)) << pair.describe();

    // The host's blocks reach the shield in long packets and come back through its loop-back.
    const char tag[4] = {'B', 'R', 'D', 'P'};
    quint32 n = 0;
    ASSERT_TRUE(E2eProcess::waitUntil([&] {
        host.send(numberedBlock(tag, n++));
        E2eProcess::pump(16);
        for (const QByteArray &b : host.got) {
            if (b.startsWith(QByteArray(tag, 4)) && b == numberedBlock(tag, numberOf(b)))
                return true;
        }
        return false;
    })) << pair.describe();
    EXPECT_GT(host.got.size(), 0);

    const int simDrop = pair.sim().lineCount();
    pair.driver().writeLine(QStringLiteral("1 drop"));
    EXPECT_TRUE(pair.waitExecuted(1, QStringLiteral("drop"), simDrop)) << pair.describe();
    EXPECT_TRUE(pair.driver().running()) << pair.describe();
}

TEST(E2eBoardPath, DeviceTreeChoosesThePinMap)
{
    struct Case {
        const char *name;
        QStringList standin;
        QStringList driverArgs;
        QString map;  // empty: exit 1 with one "#ERROR" naming -board
    };
    const QString h3Tree = QStringLiteral(
        "STM_STANDIN_DT_COMPATIBLE=xunlong,orangepi-pc allwinner,sun8i-h3");
    const QString piTree = QStringLiteral(
        "STM_STANDIN_DT_COMPATIBLE=raspberrypi,4-model-b brcm,bcm2711");
    const Case cases[] = {
        {"H3 tree, no -board",
         {h3Tree, QStringLiteral("STM_STANDIN_BOARD=h3")},
         {},
         QStringLiteral("h3 (device tree: ")},
        {"another SoC, no -board", {piTree}, {}, QString()},
        {"another SoC, -board given",
         {piTree},
         {QStringLiteral("-board"), QStringLiteral("opizero")},
         QStringLiteral("opizero (given with -board)")},
        {"no device tree", {}, {}, QStringLiteral("opizero (no device tree")},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        E2ePair pair(simArgs(false, QStringLiteral("0")), c.driverArgs, false,
                     E2ePair::standin(c.standin));
        ASSERT_TRUE(pair.started()) << pair.describe();
        if (c.map.isEmpty()) {
            ASSERT_TRUE(pair.driver().waitForFinished()) << pair.describe();
            EXPECT_EQ(pair.driver().exitStatus(), QProcess::NormalExit);
            EXPECT_EQ(pair.driver().exitCode(), 1);
            const QStringList errors = errLines(pair.driver()).filter(QStringLiteral("#ERROR"));
            ASSERT_EQ(errors.size(), 1) << pair.describe();
            EXPECT_TRUE(errors.first().contains(QStringLiteral("-board")));
            EXPECT_TRUE(errors.first().contains(QStringLiteral("brcm,bcm2711")));
            continue;
        }
        ASSERT_GE(pair.driver().waitForLine(QStringLiteral("shield_ready")), 0) << pair.describe();
        EXPECT_TRUE(pair.driver().err().contains(QStringLiteral("#BOARD: pin map ") + c.map))
            << pair.describe();
    }
}

TEST(E2eBoardPath, KernelFaultsAtStartUp)
{
    struct Case {
        const char *name;
        QStringList standin;
        QStringList driverArgs;
        bool exits;            // status 1 at start-up; otherwise it runs
        QStringList inError;   // texts of the one "#ERROR" line
        bool ready = false;    // running: the shield comes into service all the same
    };
    const Case cases[] = {
        {"no SPI node",
         {QStringLiteral("STM_STANDIN_FAULT=no-spi")},
         {},
         false,
         {QStringLiteral("#ERROR: SPI: cannot open /dev/spidev1.1"),
          QStringLiteral("No such file")}},
        {"SPI node refused",
         {QStringLiteral("STM_STANDIN_FAULT=spi-denied")},
         {},
         false,
         {QStringLiteral("#ERROR: SPI: cannot open /dev/spidev1.1"),
          QStringLiteral("is the user in the group stm-driver?")}},
        {"-spi 1",
         {},
         {QStringLiteral("-spi"), QStringLiteral("1")},
         false,
         {}},
        {"no GPIO chip",
         {QStringLiteral("STM_STANDIN_FAULT=no-chip")},
         {},
         true,
         {QStringLiteral("#ERROR: GPIO: cannot open the GPIO chip \"1c20800.pinctrl\"")}},
        {"GPIO chip refused",
         {QStringLiteral("STM_STANDIN_FAULT=gpio-denied")},
         {},
         true,
         {QStringLiteral("#ERROR: GPIO: cannot open the GPIO chip"),
          QStringLiteral("is the user in the group stm-driver?")}},
        {"chip select of shield 0 held by another process",
         {QStringLiteral("STM_STANDIN_FAULT=line-busy:15")},
         {},
         true,
         {QStringLiteral("#ERROR: GPIO: pin 15 (line offset 13"),
          QStringLiteral("Device or resource busy (held by \"gpioset\")")}},
        {"a chip with too few lines for the h3 map",
         {QStringLiteral("STM_STANDIN_FAULT=lines:64"), QStringLiteral("STM_STANDIN_BOARD=h3")},
         {QStringLiteral("-board"), QStringLiteral("h3")},
         true,
         {QStringLiteral("#ERROR: GPIO: pin 6 (line offset 110"),
          QStringLiteral("the chip has only 64 lines")}},
        {"the debug line refuses its level",
         {QStringLiteral("STM_STANDIN_FAULT=line-eio:0")},
         {},
         false,
         {QStringLiteral("#ERROR: GPIO: line write on \"1c20800.pinctrl\" failed"),
          QStringLiteral("(1 failure since the last report)")},
         true},
        {"-spi-hz out of range: nothing of the board is touched",
         {QStringLiteral("STM_STANDIN_FAULT=no-chip")},
         {QStringLiteral("-spi-hz"), QStringLiteral("90000000")},
         true,
         {QStringLiteral("#ERROR: -spi-hz takes the SPI clock in Hz"),
          QStringLiteral("not \"90000000\"")}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        E2ePair pair(simArgs(false, QStringLiteral("0")), c.driverArgs, false,
                     E2ePair::standin(c.standin));
        ASSERT_TRUE(pair.started()) << pair.describe();
        if (c.ready) {
            // Only the debug line fails: said, and nothing else changes.
            ASSERT_GE(pair.driver().waitForLine(QStringLiteral("shield_ready")), 0)
                << pair.describe();
            EXPECT_TRUE(pair.driver().running()) << pair.describe();
            const QStringList errors = errLines(pair.driver()).filter(QStringLiteral("#ERROR"));
            ASSERT_EQ(errors.size(), 1) << pair.describe();
            for (const QString &text : c.inError)
                EXPECT_TRUE(errors.first().contains(text)) << errors.first().toStdString();
            continue;
        }
        if (c.exits) {
            ASSERT_TRUE(pair.driver().waitForFinished()) << pair.describe();
            EXPECT_EQ(pair.driver().exitStatus(), QProcess::NormalExit) << pair.describe();
            EXPECT_EQ(pair.driver().exitCode(), 1) << pair.describe();
        } else {
            // Long enough for a shield that is there to come into service several times over.
            ASSERT_TRUE(pair.driver().waitForErr(QStringLiteral("no shield can be reached")))
                << pair.describe();
            E2eProcess::pump(4000);
            EXPECT_TRUE(pair.driver().running()) << pair.describe();
        }
        EXPECT_FALSE(crashed(pair)) << pair.describe();
        EXPECT_EQ(pair.driver().count(QStringLiteral("shield_ready")), 0) << pair.describe();
        const QStringList errors = errLines(pair.driver()).filter(QStringLiteral("#ERROR"));
        if (c.inError.isEmpty()) {
            EXPECT_TRUE(errors.isEmpty()) << pair.describe();
            continue;
        }
        ASSERT_EQ(errors.size(), 1) << pair.describe();
        for (const QString &text : c.inError)
            EXPECT_TRUE(errors.first().contains(text)) << errors.first().toStdString();
    }
}

TEST(E2eBoardPath, FailingTransfersAreCountedAndTheLinkRecovers)
{
    QTemporaryDir dir;
    const QString eioFile = dir.filePath(QStringLiteral("eio"));
    E2ePair pair(simArgs(false, QStringLiteral("0")), {}, false,
                 E2ePair::standin({QStringLiteral("STM_STANDIN_EIO_FILE=") + eioFile}));
    ASSERT_TRUE(pair.started()) << pair.describe();
    ASSERT_GE(pair.driver().waitForLine(pushed), 0) << pair.describe();

    // The kernel refuses every transfer (EIO) from now on: the shield's answers are missing,
    // the link gives it up, and the driver says so on standard error, not once per transfer.
    QFile flag(eioFile);
    ASSERT_TRUE(flag.open(QIODevice::WriteOnly));
    flag.close();
    QElapsedTimer failing;
    failing.start();
    int from = pair.driver().lineCount();
    ASSERT_GE(pair.driver().waitForLine(QStringLiteral("shield_disconect"), from, 60000), 0)
        << pair.describe();
    const QStringList reports =
        errLines(pair.driver()).filter(QStringLiteral("#ERROR: SPI: transfer on /dev/spidev1.1"));
    ASSERT_GE(reports.size(), 1) << pair.describe();
    EXPECT_TRUE(reports.first().contains(QStringLiteral("Input/output error")));
    // At most one line per 5 s (generously: the clock ran at least as long as the lines say).
    EXPECT_LE(reports.size(), failing.elapsed() / 5000 + 1) << pair.describe();
    // No phantom: nothing came in service while the transfers failed.
    EXPECT_EQ(pair.driver().count(QStringLiteral("shield_ready")), 1);

    // The kernel works again: the shield comes back by itself.
    ASSERT_TRUE(QFile::remove(eioFile));
    from = pair.driver().lineCount();
    ASSERT_GE(pair.driver().waitForLine(QStringLiteral("shield_ready"), from), 0)
        << pair.describe();
    EXPECT_FALSE(crashed(pair)) << pair.describe();
}

TEST(E2eBoardPath, SecondDriverOnTheSameBusEndsAtOnceNamingTheFirst)
{
    struct Case {
        const char *name;
        bool onBoard;
    };
    for (const Case c : {Case{"simulated bus", false}, Case{"SPI node", true}}) {
        SCOPED_TRACE(c.name);
        const QStringList sim = simArgs(false, QStringLiteral("0"));
        std::unique_ptr<E2ePair> pair(c.onBoard ? new E2ePair(sim, {}, false, E2ePair::standin())
                                                : new E2ePair(sim, {}));
        ASSERT_TRUE(pair->started()) << pair->describe();
        ASSERT_GE(pair->driver().waitForLine(QStringLiteral("shield_ready")), 0)
            << pair->describe();

        E2eProcess second(QStringLiteral("second stm-driver"), QStringLiteral(STM_DRIVER_PATH),
                          c.onBoard ? QStringList()
                                    : QStringList{QStringLiteral("-simbus"), pair->socketPath()},
                          pair->driverEnvironment());
        ASSERT_TRUE(second.started());
        ASSERT_TRUE(second.waitForFinished()) << second.describe();
        EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(second.exitCode(), 1);
        const QStringList lines = errLines(second).filter(QStringLiteral("#"));
        ASSERT_EQ(lines.filter(QStringLiteral("#ERROR")).size(), 1) << second.describe();
        const QString error = lines.filter(QStringLiteral("#ERROR")).first();
        EXPECT_TRUE(error.contains(c.onBoard ? QStringLiteral("/dev/spidev1.1")
                                             : pair->socketPath()))
            << error.toStdString();
        EXPECT_TRUE(error.contains(QStringLiteral("(pid %1)").arg(pair->driver().pid())))
            << error.toStdString();
        EXPECT_EQ(second.count(QStringLiteral("shield_ready")), 0);

        // The first driver keeps its shield: a command still reaches it.
        const int from = pair->sim().lineCount();
        pair->driver().writeLine(QStringLiteral("open 5"));
        EXPECT_TRUE(pair->waitExecuted(0, QStringLiteral("open door 5"), from))
            << pair->describe();
        EXPECT_TRUE(pair->driver().running());
    }
}

// The board path of a foreign build (scripts/cross: the armhf stm-driver and the armhf stand-in),
// started explicitly under qemu-user without a binfmt handler, against this build's shield-sim.
// Given by STM_FOREIGN_QEMU, STM_FOREIGN_DRIVER and STM_FOREIGN_STANDIN; skipped without them.
TEST(E2eBoardPath, ForeignBuildUnderQemuBringsShieldsIntoService)
{
    const QString qemu = QString::fromLocal8Bit(qgetenv("STM_FOREIGN_QEMU"));
    const QString driver = QString::fromLocal8Bit(qgetenv("STM_FOREIGN_DRIVER"));
    const QString standin = QString::fromLocal8Bit(qgetenv("STM_FOREIGN_STANDIN"));
    if (qemu.isEmpty() || driver.isEmpty() || standin.isEmpty())
        GTEST_SKIP() << "no foreign build given (scripts/cross runs this test)";
    struct Case {
        const char *board;
        bool multi;
        QString shields;
    };
    for (const Case &c : {Case{"opizero", false, QStringLiteral("0")},
                          Case{"h3", true, QStringLiteral("0,3")}}) {
        SCOPED_TRACE(c.board);
        QStringList driverArgs{driver, QStringLiteral("-board"), QString::fromLatin1(c.board)};
        if (c.multi)
            driverArgs << QStringLiteral("-multishield");
        QElapsedTimer clock;
        clock.start();
        E2ePair pair(QStringLiteral(SHIELD_SIM_PATH), qemu, simArgs(c.multi, c.shields),
                     driverArgs, false,
                     E2ePair::OnBoard{standin, {QStringLiteral("STM_STANDIN_BOARD=") +
                                                QString::fromLatin1(c.board)}});
        ASSERT_TRUE(pair.started()) << pair.describe();
        for (const QString &s : c.shields.split(QLatin1Char(','))) {
            const QString ready = c.multi ? s + QStringLiteral(" shield_ready")
                                          : QStringLiteral("shield_ready");
            ASSERT_GE(pair.driver().waitForLine(ready, 0, 120000), 0) << pair.describe();
        }
        std::printf("bring-up under %s, %s: %lld ms\n", qPrintable(qemu), c.board,
                    static_cast<long long>(clock.elapsed()));
        const int from = pair.sim().lineCount();
        pair.driver().writeLine(c.multi ? QStringLiteral("3 open 4") : QStringLiteral("open 4"));
        EXPECT_TRUE(pair.waitExecuted(c.multi ? 3 : 0, QStringLiteral("open door 4"), from))
            << pair.describe();
    }
}
