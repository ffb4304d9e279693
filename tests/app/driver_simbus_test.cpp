// The real driver binary on the simulated bus: shields come into service end to end, and their
// line events reach the host's standard output.

#include "support/e2eprocess.h"
#include "support/simbusserver.h"

#include <gtest/gtest.h>

namespace {

QString driverProgram() { return QStringLiteral(STM_DRIVER_PATH); }

}  // namespace

TEST(DriverOnSimulatedBus, SingleShieldComesIntoServiceAndReportsADial)
{
    SimbusServer server(0);
    E2eProcess driver(QStringLiteral("stm-driver"), driverProgram(),
                      testDriverArgs({QStringLiteral("-simbus"), server.path(),
                                      QStringLiteral("-ic"), QStringLiteral("136")}));
    ASSERT_TRUE(driver.started());
    ASSERT_GE(driver.waitForLine(QStringLiteral("#Shield update black list")), 0)
        << driver.describe();
    const QString out = driver.lines().join(QLatin1Char('\n')) + QLatin1Char('\n');
    EXPECT_TRUE(out.startsWith(QStringLiteral(
        "#Intercom 136 supported indexes for shield 0\n#STM_driver_2v18\nKVT_STM_Driver 2.18\n\n")))
        << driver.describe();
    EXPECT_TRUE(out.contains(QStringLiteral("Intercom: 136\n")));
    EXPECT_TRUE(out.contains(QStringLiteral("\nshield_ready\n\n")));

    server.board().shield(0).raiseDial(300, 7);
    EXPECT_GE(driver.waitForLine(QStringLiteral("dial 300 7")), 0) << driver.describe();
    EXPECT_EQ(driver.err(), QString());
}

TEST(DriverOnSimulatedBus, MultiShieldBringsEveryPresentShieldIntoService)
{
    SimbusServer server(1);
    server.board().shield(3).setMute(true);
    E2eProcess driver(QStringLiteral("stm-driver"), driverProgram(),
                      testDriverArgs({QStringLiteral("-multishield"), QStringLiteral("-simbus"),
                                      server.path()}));
    ASSERT_TRUE(driver.started());
    for (int s : {0, 1, 2, 4, 5})
        ASSERT_GE(driver.waitForLine(QStringLiteral("%1 shield_ready").arg(s)), 0)
            << driver.describe();
    EXPECT_EQ(driver.count(QStringLiteral("3 shield_ready")), 0);
}
