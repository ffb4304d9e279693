// A numbered random walk over calls against the real driver and shield-sim
// (support/e2ecallwalk.h): a few hundred steps with a restart of the link, a shield lost and back
// and a lost initialisation among them, then a restart; every call the host heard of ended once.
// The walk's number is new in each run and printed; STM_WALK_NUMBER=N replays walk N (the
// driver's timing may still differ). `stm-soak --walk MINUTES` runs such walks for longer.

#include "support/e2ecallwalk.h"
#include "support/e2eprocess.h"

#include <QRandomGenerator>

#include <gtest/gtest.h>

TEST(E2eCalls, RandomWalkEndsEveryCallTheHostHeardOfOnce)
{
    const quint32 number = qEnvironmentVariableIsSet("STM_WALK_NUMBER")
                               ? quint32(qEnvironmentVariableIntValue("STM_WALK_NUMBER"))
                               : QRandomGenerator::global()->generate();
    std::cout << "walk " << number << std::endl;
    const E2eCallWalk::Result walk = E2eCallWalk::run(
        number, E2eCallWalk::Plan(), QStringLiteral(SHIELD_SIM_PATH),
        QStringLiteral(STM_DRIVER_PATH));
    std::cout << walk.summary.toStdString() << std::endl;
    EXPECT_EQ(walk.fault, QString())
        << "walk " << number << " (STM_WALK_NUMBER=" << number << " replays it), its steps:\n"
        << walk.steps.join(QLatin1Char('\n')).toStdString() << '\n'
        << walk.output.toStdString();
}
