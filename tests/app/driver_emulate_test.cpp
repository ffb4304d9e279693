// The real driver with its shields emulated inside the process: no board and no simulator, yet
// every served shield comes into service and host commands are taken.

#include "support/consolecapture.h"

#include <QElapsedTimer>
#include <QProcess>

#include <gtest/gtest.h>

namespace {

bool waitForLine(QProcess &process, QString &out, const QString &line, int timeoutMs = 30000)
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

}  // namespace

TEST(DriverEmulated, EveryServedShieldComesIntoServiceAndTakesCommands)
{
    QProcess driver;
    driver.start(QStringLiteral(STM_DRIVER_PATH),
                 {QStringLiteral("-emulate"), QStringLiteral("-multishield")});
    ASSERT_TRUE(driver.waitForStarted(10000));
    QString out;
    for (int s = 0; s < 6; ++s)
        ASSERT_TRUE(waitForLine(driver, out, QStringLiteral("#Shield %1 update black list").arg(s)))
            << out;
    for (int s = 0; s < 6; ++s)
        EXPECT_TRUE(out.contains(QStringLiteral("\n%1 shield_ready\n").arg(s))) << s;

    // A command is taken (no refusal), and an address beyond the shields is refused on stderr.
    driver.write("2 open 7\n9 drop\n");
    driver.waitForBytesWritten(5000);
    QElapsedTimer timer;
    timer.start();
    QByteArray err;
    while (!err.contains("#ERROR") && timer.elapsed() < 10000) {
        driver.waitForReadyRead(100);
        err += driver.readAllStandardError();
    }
    out += QString::fromUtf8(driver.readAllStandardOutput());
    EXPECT_TRUE(err.contains("#ERROR: Адреса шилда не существует")) << err.constData();
    EXPECT_FALSE(out.contains(QStringLiteral("not available"))) << out;
    driver.kill();
    driver.waitForFinished(10000);
}
