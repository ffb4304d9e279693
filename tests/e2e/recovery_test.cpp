// The driver recovering by itself from what shield-sim does to it: a shield that stops answering,
// one that lost its initialisation, one that restarts in its bootloader, a bootloader byte on
// the bus; and the two failures it cannot recover from, the bus going away and the host no
// longer reading its standard output.

#include "support/e2eprocess.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

const QStringList singleSim = {QStringLiteral("--shields"), QStringLiteral("0"),
                               QStringLiteral("--single")};
const QStringList singleDriver = {QStringLiteral("-ic"), QStringLiteral("10")};
const QString pushed = QStringLiteral("#Shield update black list");

// What the host reads when shield 0 comes (back) into service, single-shield mode.
const QStringList backOnline = {QStringLiteral("Intercom: 10"),
                                QStringLiteral("Program_STM: 23"),
                                QStringLiteral("Shield: 12"),
                                QStringLiteral("Revision: 3"),
                                QStringLiteral("ID: 3300213436470d30353932"),
                                QString(),
                                QStringLiteral("shield_ready"),
                                QString(),
                                QStringLiteral("#Shield update virtual list"),
                                QStringLiteral("#Shield update black list")};

// The driver (the shell becomes it) behind a host that reads the banner and goes away: `head`
// holds the only read end of the driver's standard output and closes it.
const QString hostReadsBannerOnly = QStringLiteral("exec \"$0\" \"$@\" > >(head -n 3)");
const QStringList banner = {QStringLiteral("#STM_driver_2v18"),
                            QStringLiteral("KVT_STM_Driver 2.18"), QString()};

// The driver ended by itself with status 1 and said why once on standard error.
void expectEndedWithoutHost(E2eProcess &driver)
{
    ASSERT_TRUE(driver.waitForFinished()) << driver.describe();
    EXPECT_EQ(driver.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(driver.exitCode(), 1) << driver.describe();
    EXPECT_EQ(driver.lines(), banner) << driver.describe();
    EXPECT_EQ(driver.err().count(QStringLiteral("#ERROR")), 1) << driver.describe();
}

bool isErrorCount(const QString &line)
{
    return line.contains(QLatin1String(" WARNING: SPI: TX errors: ")) ||
           line.contains(QLatin1String(" WARNING: SPI: RX errors: "));
}

QStringList withoutErrorCounts(QStringList lines)
{
    lines.erase(std::remove_if(lines.begin(), lines.end(), isErrorCount), lines.end());
    return lines;
}

}  // namespace

TEST(E2eRecovery, SilentShieldIsDisconnectedAndComesBackWhenItAnswers)
{
    E2ePair pair(singleSim, singleDriver);
    ASSERT_TRUE(pair.started()) << pair.describe();
    const int ready = pair.driver().waitForLine(QStringLiteral("shield_ready"));
    ASSERT_GE(ready, 0) << pair.describe();

    // Unanswered commands are repeated until the error limit (some 12 s at the driver's pace).
    // The shield falls silent while its lists are being pushed.
    const int from = ready + 2;
    pair.sim().writeLine(QStringLiteral("mute 0"));
    const int gone = pair.driver().waitForLine(QStringLiteral("shield_disconect"), from, 60000);
    ASSERT_GE(gone, 0) << pair.describe();
    const QStringList out = pair.driver().lines();
    ASSERT_GT(gone, from);
    // The repeats counted since the last report come right before the disconnection.
    const QString lastCount = out.at(gone - 1);
    const QString txPrefix = QStringLiteral("0 WARNING: SPI: TX errors: ");
    ASSERT_TRUE(lastCount.startsWith(txPrefix)) << pair.describe();
    EXPECT_GT(lastCount.mid(txPrefix.size()).toInt(), 0) << lastCount.toStdString();
    // Until then only error counts (and the end of a list that made it through); after it an
    // empty line.
    QStringList between = withoutErrorCounts(out.mid(from, gone - from));
    between.removeAll(QStringLiteral("#Shield update virtual list"));
    between.removeAll(pushed);
    EXPECT_EQ(between, QStringList()) << pair.describe();
    ASSERT_GE(pair.driver().waitForLine(QString(), gone + 1), gone + 1);
    EXPECT_EQ(pair.driver().lines().at(gone + 1), QString());

    // Offline, the shield takes no commands.
    pair.driver().writeLine(QStringLiteral("open 3"));
    ASSERT_GE(pair.driver().waitForLine(
                  QStringLiteral("#WARNING: Address 0 not available for command"), gone),
              0)
        << pair.describe();

    const int back = pair.driver().lineCount();
    const int simFrom = pair.sim().lineCount();
    pair.sim().writeLine(QStringLiteral("unmute 0"));
    ASSERT_GE(pair.driver().waitForLine(pushed, back), 0) << pair.describe();
    // Both lists are pushed in full, however far the last push had come.
    EXPECT_EQ(withoutErrorCounts(pair.driver().lines().mid(back)), backOnline) << pair.describe();
    // The refused command never reached the shield.
    EXPECT_FALSE(pair.executed(0, simFrom).contains(QStringLiteral("open door 3")))
        << pair.describe();
}

TEST(E2eRecovery, LostInitialisationAndBootloaderStartBringTheShieldBack)
{
    E2ePair pair(singleSim, singleDriver);
    ASSERT_TRUE(pair.started()) << pair.describe();
    ASSERT_GE(pair.driver().waitForLine(pushed), 0) << pair.describe();

    // The shield says in its ping reply that it lost its set-up: identified and given its lists
    // again.
    int from = pair.driver().lineCount();
    int simFrom = pair.sim().lineCount();
    pair.sim().writeLine(QStringLiteral("lostinit 0"));
    ASSERT_GE(pair.driver().waitForLine(pushed, from), 0) << pair.describe();
    EXPECT_EQ(withoutErrorCounts(pair.driver().lines().mid(from)),
              QStringList{QStringLiteral("0 WARNING: SPI: Shield lost initialization")} +
                  backOnline)
        << pair.describe();
    EXPECT_TRUE(pair.executed(0, simFrom).contains(QStringLiteral("set intercom 10")))
        << pair.describe();

    // The shield restarts in its STM32 bootloader: the driver makes it start its application.
    simFrom = pair.sim().lineCount();
    from = pair.driver().lineCount();
    pair.sim().writeLine(QStringLiteral("bootloader 0"));
    ASSERT_GE(pair.sim().waitForLine(QStringLiteral("shield 0: bootloader: go to the application"),
                                     simFrom),
              0)
        << pair.describe();
    EXPECT_GE(pair.sim().waitForLine(QStringLiteral("shield 0: started its application"), simFrom),
              0)
        << pair.describe();
    // The restarted application reports at its next ping that it lost its initialisation, and
    // the driver identifies it again: its intercom index and lists are back.
    EXPECT_GE(pair.driver().waitForLine(
                  QStringLiteral("0 WARNING: SPI: Shield lost initialization"), from),
              0)
        << pair.describe();
    EXPECT_GE(pair.sim().waitForLine(QStringLiteral("shield 0: executed set intercom 10"), simFrom),
              0)
        << pair.describe();
    EXPECT_GE(pair.driver().waitForLine(pushed, from), 0) << pair.describe();
    // In service again: a command reaches it and its events reach the host.
    simFrom = pair.sim().lineCount();
    from = pair.driver().lineCount();
    pair.driver().writeLine(QStringLiteral("open 4"));
    EXPECT_TRUE(pair.waitExecuted(0, QStringLiteral("open door 4"), simFrom)) << pair.describe();
    pair.sim().writeLine(QStringLiteral("dial 0 77"));
    EXPECT_GE(pair.driver().waitForLine(QStringLiteral("dial 77"), from), 0) << pair.describe();
    EXPECT_EQ(pair.driver().errBesidesOverruns(), QString()) << pair.describe();
}

TEST(E2eRecovery, BootloaderByteRestartsEveryShield)
{
    const QList<int> present = {0, 2, 5};
    E2ePair pair({QStringLiteral("--shields"), QStringLiteral("0,2,5"),
                  QStringLiteral("--multishield")},
                 {QStringLiteral("-multishield"), QStringLiteral("-ic"), QStringLiteral("10")});
    ASSERT_TRUE(pair.started()) << pair.describe();
    for (int s : present) {
        ASSERT_GE(pair.driver().waitForLine(QStringLiteral("#Shield %1 update black list").arg(s)),
                  0)
            << pair.describe();
    }

    const int from = pair.driver().lineCount();
    const int simFrom = pair.sim().lineCount();
    pair.sim().writeLine(QStringLiteral("ack79 2"));
    ASSERT_TRUE(pair.driver().waitForErr(QStringLiteral("#Restart ALL Shields")))
        << pair.describe();
    // Every shield is rebooted, and every present one is announced and given its lists again.
    for (int s : present) {
        SCOPED_TRACE(s);
        EXPECT_GE(pair.driver().waitForLine(QStringLiteral("#Shield %1 update black list").arg(s),
                                            from),
                  0)
            << pair.describe();
        const QStringList after = pair.driver().lines().mid(from);
        EXPECT_EQ(after.count(QStringLiteral("%1 shield_ready").arg(s)), 1) << pair.describe();
        EXPECT_GE(pair.sim().lines().mid(simFrom).count(
                      QStringLiteral("shield %1: started its application").arg(s)),
                  1)
            << pair.describe();
    }
    // One bootloader byte, one restart.
    EXPECT_EQ(pair.driver().err().count(QStringLiteral("#Restart ALL Shields")), 1)
        << pair.describe();
    for (int s : {1, 3, 4})
        EXPECT_FALSE(pair.driver().lines().contains(QStringLiteral("%1 shield_ready").arg(s)));
}

namespace {

// The single shield in service and in a call the host picked up: its audio runs.
void startCall(E2ePair &pair, AudioHost &host)
{
    ASSERT_TRUE(pair.started()) << pair.describe();
    ASSERT_GE(pair.driver().waitForLine(pushed), 0) << pair.describe();
    ASSERT_TRUE(host.listening) << "port 20002 is taken";
    const int simFrom = pair.sim().lineCount();
    pair.driver().writeLine(QStringLiteral("pickup"));
    ASSERT_TRUE(pair.waitExecuted(0, QStringLiteral("audio on"), simFrom)) << pair.describe();
    ASSERT_TRUE(E2eProcess::waitUntil([&] { return host.driverListens(); })) << pair.describe();
}

// A call in progress on the single shield, then the simulator's lines that end it with a restart:
// the host hears the end of the call once, before the shield is announced again.
void expectOneDropBeforeTheShieldIsBack(const QStringList &simLines)
{
    E2ePair pair(singleSim, singleDriver, true);
    AudioHost host(20002);
    ASSERT_NO_FATAL_FAILURE(startCall(pair, host));

    const int from = pair.driver().lineCount();
    for (const QString &line : simLines)
        pair.sim().writeLine(line);
    const int ready = pair.driver().waitForLine(QStringLiteral("shield_ready"), from);
    ASSERT_GE(ready, 0) << pair.describe();
    // The host hears that the call is over before the shield is announced again, and the
    // driver's audio port stays free until the next call.
    const QStringList before = pair.driver().lines().mid(from, ready - from);
    EXPECT_EQ(before.count(QStringLiteral("drop")), 1) << pair.describe();
    ASSERT_GE(pair.driver().waitForLine(pushed, ready), 0) << pair.describe();
    EXPECT_FALSE(host.driverListens());
    EXPECT_EQ(pair.driver().lines().mid(ready).count(QStringLiteral("drop")), 0);
    EXPECT_EQ(pair.driver().err().count(QStringLiteral("#Restart ALL Shields")), 1);
}

}  // namespace

TEST(E2eRecovery, BootloaderByteEndsTheCallInProgressBeforeTheShieldIsBack)
{
    expectOneDropBeforeTheShieldIsBack({QStringLiteral("ack79 0")});
}

// The hang-up is told at once; the restart one cycle later, before the shield's answer to the
// audio-off command comes in, finds the shield still playing and must not tell it again.
TEST(E2eRecovery, HangUpThenBootloaderByteOneCycleLaterTellsOneDrop)
{
    expectOneDropBeforeTheShieldIsBack(
        {QStringLiteral("hangup 0"), QStringLiteral("ack79 0 after")});
}

// A call in progress when its shield stops answering until the driver loses it, or when it
// loses its initialisation: the host hears "drop" once, just before "shield_disconect" or right
// after the warning, and the shield comes back without a restart of the link.
struct CallFault {
    const char *name;
    const char *fault;
    QStringList around;  // the lines, error counts aside, that end with the call's end
};

void PrintTo(const CallFault &row, std::ostream *os)
{
    *os << row.fault;
}

class CallFaults : public ::testing::TestWithParam<CallFault>
{
};

TEST_P(CallFaults, EndTheCallOnceBesideTheirLine)
{
    const CallFault &row = GetParam();
    E2ePair pair(singleSim, singleDriver, true);
    AudioHost host(20002);
    ASSERT_NO_FATAL_FAILURE(startCall(pair, host));

    const int from = pair.driver().lineCount();
    pair.sim().writeLine(QLatin1String(row.fault));
    // A lost link takes some 12 s of unanswered repeats.
    const int at = pair.driver().waitForLine(row.around.last(), from, 60000);
    ASSERT_GE(at, 0) << pair.describe();
    const QStringList upTo = withoutErrorCounts(pair.driver().lines().mid(from, at + 1 - from));
    EXPECT_EQ(upTo.mid(upTo.size() - row.around.size()), row.around) << pair.describe();
    EXPECT_EQ(upTo.count(QStringLiteral("drop")), 1) << pair.describe();
    pair.sim().writeLine(QStringLiteral("unmute 0"));
    ASSERT_GE(pair.driver().waitForLine(pushed, at), 0) << pair.describe();
    EXPECT_EQ(pair.driver().lines().mid(at + 1).count(QStringLiteral("drop")), 0);
    EXPECT_FALSE(host.driverListens());
    EXPECT_EQ(pair.driver().err().count(QStringLiteral("#Restart ALL Shields")), 0);
}

INSTANTIATE_TEST_SUITE_P(
    E2eRecovery, CallFaults,
    ::testing::Values(
        CallFault{"ShieldLost", "mute 0", {QStringLiteral("drop"), QStringLiteral("shield_disconect")}},
        CallFault{"LostInitialisation", "lostinit 0",
                  {QStringLiteral("0 WARNING: SPI: Shield lost initialization"),
                   QStringLiteral("drop")}}),
    [](const ::testing::TestParamInfo<CallFault> &info) { return std::string(info.param.name); });

TEST(E2eRecovery, BusGoneEndsTheDriverWithAnError)
{
    E2ePair pair(singleSim, singleDriver);
    ASSERT_TRUE(pair.started()) << pair.describe();
    ASSERT_GE(pair.driver().waitForLine(QStringLiteral("shield_ready")), 0) << pair.describe();

    pair.sim().kill();
    ASSERT_TRUE(pair.driver().waitForFinished()) << pair.describe();
    EXPECT_EQ(pair.driver().exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(pair.driver().exitCode(), 1);
    const QStringList errLines = pair.driver().err().split(QLatin1Char('\n'));
    EXPECT_TRUE(std::any_of(errLines.begin(), errLines.end(),
                            [](const QString &l) { return l.startsWith(QLatin1String("#ERROR")); }))
        << pair.describe();
}

TEST(E2eRecovery, HostGoneEndsTheDriverAndReleasesTheBus)
{
    E2ePair pair(QStringLiteral(SHIELD_SIM_PATH), QStringLiteral("/bin/bash"), singleSim,
                 QStringList{QStringLiteral("-c"), hostReadsBannerOnly,
                             QStringLiteral(STM_DRIVER_PATH)} +
                     singleDriver,
                 false);
    ASSERT_TRUE(pair.started()) << pair.describe();
    // The shield comes into service: its announcement finds no reader.
    expectEndedWithoutHost(pair.driver());
    EXPECT_GE(pair.sim().waitForLine(QStringLiteral("driver gone")), 0) << pair.describe();
}

TEST(E2eRecovery, HostGoneEndsTheEmulatingDriver)
{
    E2eProcess driver(QStringLiteral("stm-driver"), QStringLiteral("/bin/bash"),
                      QStringList{QStringLiteral("-c"), hostReadsBannerOnly,
                                  QStringLiteral(STM_DRIVER_PATH), QStringLiteral("-emulate")} +
                          singleDriver);
    ASSERT_TRUE(driver.started());
    expectEndedWithoutHost(driver);
}
