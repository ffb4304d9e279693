// The real driver binary on the simulated bus, driven through its standard input as the host
// drives it: commands reach the shield, apartment lists are loaded and pushed, and a closed input
// leaves the driver running, idle and still reporting line events.

#include "link/frame.h"
#include "support/e2eprocess.h"
#include "support/simbusserver.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

// True when the shield executed a frame with this code whose payload passes the check.
bool executed(const ShieldModel &shield, quint8 code, const std::function<bool(quint32)> &check)
{
    for (const QByteArray &frame : shield.executedCommands()) {
        if (Frame::code(frame) == code && check(Frame::u32At2(frame)))
            return true;
    }
    return false;
}

}  // namespace

TEST(DriverConsole, HostCommandsListsAndAClosedInput)
{
    SimbusServer server(0);
    ShieldModel &shield = server.board().shield(0);
    E2eProcess driver(QStringLiteral("stm-driver"), QStringLiteral(STM_DRIVER_PATH),
                      testDriverArgs({QStringLiteral("-simbus"), server.path()}));
    ASSERT_TRUE(driver.started());
    const QString pushed = QStringLiteral("#Shield update black list");
    ASSERT_GE(driver.waitForLine(pushed), 0) << driver.describe();

    // Commands reach the shield.
    driver.writeLine(QStringLiteral("open 7"));
    driver.writeLine(QStringLiteral("dial 300"));
    EXPECT_TRUE(E2eProcess::waitUntil([&] {
        return executed(shield, 0x20, [](quint32 p) { return p == 7; }) &&
               executed(shield, 0x13, [](quint32 p) { return (p & 0xFFFF) == 300; });
    })) << driver.describe();

    // Apartment lists: the prompts, then the push of both lists.
    driver.writeLine(QStringLiteral("dialplan"));
    ASSERT_GE(driver.waitForLine(QStringLiteral("#Write rooms for shield:")), 0)
        << driver.describe();
    EXPECT_EQ(driver.count(QStringLiteral("mask_imit")), 1);
    driver.write("5\n-1\n");
    ASSERT_GE(driver.waitForLine(QStringLiteral("#Write blacklist rooms for shield:")), 0)
        << driver.describe();
    EXPECT_EQ(driver.count(QStringLiteral("mask_block")), 1);
    driver.write("7\n-1\n");
    ASSERT_TRUE(E2eProcess::waitUntil([&] { return driver.count(pushed) >= 2; }))
        << driver.describe();
    EXPECT_EQ(driver.count(QStringLiteral("#End read rooms")), 2);
    EXPECT_EQ(shield.virtualListWord(0), 0x0020);
    EXPECT_EQ(shield.blackListWord(0), 0x0080);
    EXPECT_EQ(driver.errBesidesOverruns(), QString());

    // The host closes its end: one line on the diagnostic log, and the driver goes on idle.
    driver.closeInput();
    EXPECT_TRUE(E2eProcess::waitUntil([&] { return driver.err().contains(QLatin1Char('\n')); },
                                      10000));
    const double cpuBefore = cpuSeconds(driver.pid());
    E2eProcess::pump(2000);
    const double cpuAfter = cpuSeconds(driver.pid());
    ASSERT_TRUE(driver.running()) << driver.describe();
    ASSERT_GE(cpuBefore, 0);
    // An idle driver uses a few hundredths of a second here; a reader spinning on the closed
    // input would take most of a core.
    EXPECT_LT(cpuAfter - cpuBefore, 0.5) << "CPU seconds used in 2 s after the input closed";
    EXPECT_EQ(driver.errBesidesOverruns().count(QLatin1Char('\n')), 1) << driver.describe();
    EXPECT_TRUE(driver.err().contains(QStringLiteral("input closed"))) << driver.describe();

    // Line events still reach the host.
    shield.raiseDial(300);
    EXPECT_GE(driver.waitForLine(QStringLiteral("dial 300")), 0) << driver.describe();
}
