// The real driver binary on the simulated bus: shields come into service end to end, and their
// line events reach the host's standard output.

#include "support/e2eprocess.h"
#include "support/simbusserver.h"

#include <QRegularExpression>

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <vector>

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
    EXPECT_EQ(driver.errBesidesOverruns(), QString());
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

// A bus so slow that six short frames take longer than the 16 ms cycle (3.2 ms each at
// 20 kHz): the simulator holds every reply for its transfer time, the driver comes into service
// all the same and tells of the overrunning cycles at once, then at most once per 5 s.
TEST(DriverOnSimulatedBus, SlowBusHoldsRepliesAndOverrunsAreTold)
{
    using Clock = std::chrono::steady_clock;
    std::mutex mutex;
    std::vector<Clock::time_point> arrivals;
    SimbusServer server(1, QString(), [&](const SimbusServer::Transfer &t) {
        std::lock_guard<std::mutex> lock(mutex);
        if (t.length == 8)
            arrivals.push_back(t.at);
    });
    server.setBusHz(20000);
    E2eProcess driver(
        QStringLiteral("stm-driver"), driverProgram(),
        testDriverArgs({QStringLiteral("-multishield"), QStringLiteral("-simbus"), server.path()}));
    ASSERT_TRUE(driver.started());
    const QString overran = QStringLiteral("#WARNING: transfer cycle overran its 16 ms period: ");
    ASSERT_TRUE(
        driver.waitForErr(overran + QStringLiteral("1 cycle late or overran in the last 5 s; ")))
        << driver.describe();
    const Clock::time_point first = Clock::now();
    for (int s = 0; s < 6; ++s)
        ASSERT_GE(driver.waitForLine(QStringLiteral("%1 shield_ready").arg(s)), 0)
            << driver.describe();
    ASSERT_TRUE(E2eProcess::waitUntil([&] { return driver.err().count(overran) >= 2; }))
        << driver.describe();
    EXPECT_GE(Clock::now() - first, std::chrono::milliseconds(4900));
    const QStringList lines = driver.err().split(QLatin1Char('\n')).filter(overran);
    const QRegularExpression told(
        QStringLiteral(": (\\d+) cycles late or overran in the last 5 s; longest "
                       "(\\d+)\\.\\d{3} ms$"));
    const QRegularExpressionMatch second = told.match(lines.at(1));
    ASSERT_TRUE(second.hasMatch()) << lines.at(1).toStdString();
    EXPECT_GT(second.captured(1).toInt(), 100);  // every cycle of about 5 s overran
    EXPECT_GE(second.captured(2).toInt(), 19);   // six transfers of 3.2 ms

    // Each transfer's reply was held for its bus time: the driver's next request cannot come
    // sooner.
    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_GT(arrivals.size(), 100u);
    for (size_t i = 1; i < arrivals.size(); ++i)
        ASSERT_GE(arrivals[i] - arrivals[i - 1], std::chrono::microseconds(3200)) << i;
}
