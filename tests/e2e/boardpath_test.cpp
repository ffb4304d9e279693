// The board as the driver process meets it: one driver per bus.

#include "support/e2eprocess.h"

#include <gtest/gtest.h>

TEST(E2eBoardPath, SecondDriverOnTheSameBusEndsAtOnceNamingTheFirst)
{
    E2ePair pair({QStringLiteral("--shields"), QStringLiteral("0"), QStringLiteral("--single")},
                 {});
    ASSERT_TRUE(pair.started()) << pair.describe();
    ASSERT_GE(pair.driver().waitForLine(QStringLiteral("shield_ready")), 0) << pair.describe();

    E2eProcess second(QStringLiteral("second stm-driver"), QStringLiteral(STM_DRIVER_PATH),
                      {QStringLiteral("-simbus"), pair.socketPath()});
    ASSERT_TRUE(second.started());
    ASSERT_TRUE(second.waitForFinished()) << second.describe();
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 1);
    const QStringList errLines = second.err().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    ASSERT_EQ(errLines.size(), 1) << second.describe();
    EXPECT_TRUE(errLines.first().startsWith(QStringLiteral("#ERROR")));
    EXPECT_TRUE(errLines.first().contains(pair.socketPath()));
    EXPECT_TRUE(errLines.first().contains(QStringLiteral("(pid %1)").arg(pair.driver().pid())))
        << errLines.first().toStdString();
    EXPECT_EQ(second.count(QStringLiteral("shield_ready")), 0);

    // The first driver keeps its shield: a command still reaches it.
    const int from = pair.sim().lineCount();
    pair.driver().writeLine(QStringLiteral("open 5"));
    EXPECT_TRUE(pair.waitExecuted(0, QStringLiteral("open door 5"), from)) << pair.describe();
    EXPECT_TRUE(pair.driver().running());
}
