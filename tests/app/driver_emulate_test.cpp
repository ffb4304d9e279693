// The real driver with its shields emulated inside the process: no board and no simulator, yet
// every served shield comes into service and host commands are taken.

#include "support/e2eprocess.h"

#include <gtest/gtest.h>

TEST(DriverEmulated, EveryServedShieldComesIntoServiceAndTakesCommands)
{
    E2eProcess driver(QStringLiteral("stm-driver"), QStringLiteral(STM_DRIVER_PATH),
                      testDriverArgs({QStringLiteral("-emulate"),
                                      QStringLiteral("-multishield")}));
    ASSERT_TRUE(driver.started());
    for (int s = 0; s < 6; ++s)
        ASSERT_GE(driver.waitForLine(QStringLiteral("#Shield %1 update black list").arg(s)), 0)
            << driver.describe();
    for (int s = 0; s < 6; ++s)
        EXPECT_GE(driver.count(QStringLiteral("%1 shield_ready").arg(s)), 1) << s;

    // A command is taken (no refusal), and an address beyond the shields is refused on stderr.
    driver.write("2 open 7\n9 drop\n");
    EXPECT_TRUE(driver.waitForErr(QStringLiteral("#ERROR: Адреса шилда не существует")))
        << driver.describe();
    EXPECT_FALSE(driver.lines().join(QLatin1Char('\n')).contains(QStringLiteral("not available")))
        << driver.describe();
}
