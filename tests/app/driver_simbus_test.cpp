// The real driver binary on the simulated bus: shields come into service end to end, and their
// line events reach the host's standard output.

#include "support/consolecapture.h"
#include "support/simbusserver.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QThread>

#include <gtest/gtest.h>

namespace {

class Driver
{
public:
    explicit Driver(const QStringList &args)
    {
        process.start(QStringLiteral(STM_DRIVER_PATH), args);
        process.waitForStarted(10000);
    }
    ~Driver()
    {
        process.kill();
        process.waitForFinished(10000);
    }
    // Waits until standard output holds the line; returns everything read so far.
    bool waitForLine(const QString &line, int timeoutMs = 30000)
    {
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < timeoutMs) {
            process.waitForReadyRead(100);
            out += QString::fromUtf8(process.readAllStandardOutput());
            if (out.split(QLatin1Char('\n')).contains(line))
                return true;
            if (process.state() == QProcess::NotRunning)
                return false;
        }
        return false;
    }
    QProcess process;
    QString out;
};

}  // namespace

TEST(DriverOnSimulatedBus, SingleShieldComesIntoServiceAndReportsADial)
{
    SimbusServer server(0);
    Driver driver({QStringLiteral("-simbus"), server.path(), QStringLiteral("-ic"),
                   QStringLiteral("136")});
    ASSERT_TRUE(driver.waitForLine(QStringLiteral("#Shield update black list"))) << driver.out;
    EXPECT_TRUE(driver.out.startsWith(QStringLiteral(
        "#Intercom 136 supported indexes for shield 0\n#STM_driver_2v18\nKVT_STM_Driver 2.18\n\n")))
        << driver.out;
    EXPECT_TRUE(driver.out.contains(QStringLiteral("Intercom: 136\n")));
    EXPECT_TRUE(driver.out.contains(QStringLiteral("\nshield_ready\n\n")));

    server.board().shield(0).raiseDial(300, 7);
    EXPECT_TRUE(driver.waitForLine(QStringLiteral("dial 300 7"))) << driver.out;
    EXPECT_EQ(driver.process.readAllStandardError(), QByteArray());
}

TEST(DriverOnSimulatedBus, MultiShieldBringsEveryPresentShieldIntoService)
{
    SimbusServer server(1);
    server.board().shield(3).setMute(true);
    Driver driver({QStringLiteral("-multishield"), QStringLiteral("-simbus"), server.path()});
    for (int s : {0, 1, 2, 4, 5})
        ASSERT_TRUE(driver.waitForLine(QStringLiteral("%1 shield_ready").arg(s))) << driver.out;
    EXPECT_FALSE(driver.out.contains(QStringLiteral("3 shield_ready")));
}
