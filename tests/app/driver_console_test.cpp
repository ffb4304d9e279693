// The real driver binary on the simulated bus, driven through its standard input as the host
// drives it: commands reach the shield, apartment lists are loaded and pushed, and a closed input
// leaves the driver running, idle and still reporting line events.

#include "link/frame.h"
#include "support/consolecapture.h"
#include "support/simbusserver.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>

#include <gtest/gtest.h>

#include <functional>
#include <unistd.h>

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

    void write(const char *text) { process.write(text); }

    // Collects what the driver wrote, waiting up to `ms` for more.
    void pump(int ms = 50)
    {
        process.waitForReadyRead(ms);
        out += QString::fromUtf8(process.readAllStandardOutput());
        err += QString::fromUtf8(process.readAllStandardError());
    }

    // Pumps until the condition holds or the time is up; the condition is tried once more last.
    bool waitFor(const std::function<bool()> &condition, int timeoutMs = 20000)
    {
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < timeoutMs) {
            if (condition())
                return true;
            pump();
        }
        return condition();
    }

    int countOut(const QString &line) const
    {
        return out.split(QLatin1Char('\n')).count(line);
    }

    bool waitForLine(const QString &line, int count = 1)
    {
        return waitFor([&] { return countOut(line) >= count; });
    }

    // CPU time spent by the process so far, in seconds (user and system).
    double cpuSeconds() const
    {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(process.processId()));
        if (!stat.open(QIODevice::ReadOnly))
            return -1;
        const QByteArray text = stat.readAll();
        // Fields after the command name in parentheses: state is first, utime 12th, stime 13th.
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        if (fields.size() < 13)
            return -1;
        return double(fields.at(11).toLongLong() + fields.at(12).toLongLong()) /
               double(sysconf(_SC_CLK_TCK));
    }

    QProcess process;
    QString out;
    QString err;
};

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
    Driver driver({QStringLiteral("-simbus"), server.path()});
    const QString pushed = QStringLiteral("#Shield update black list");
    ASSERT_TRUE(driver.waitForLine(pushed)) << driver.out;

    // Commands reach the shield.
    driver.write("open 7\n");
    driver.write("dial 300\n");
    EXPECT_TRUE(driver.waitFor([&] {
        return executed(shield, 0x20, [](quint32 p) { return p == 7; }) &&
               executed(shield, 0x13, [](quint32 p) { return (p & 0xFFFF) == 300; });
    })) << driver.out;

    // Apartment lists: the prompts, then the push of both lists.
    driver.write("dialplan\n");
    ASSERT_TRUE(driver.waitForLine(QStringLiteral("#Write rooms for shield:"))) << driver.out;
    EXPECT_EQ(driver.countOut(QStringLiteral("mask_imit")), 1);
    driver.write("5\n-1\n");
    ASSERT_TRUE(driver.waitForLine(QStringLiteral("#Write blacklist rooms for shield:")))
        << driver.out;
    EXPECT_EQ(driver.countOut(QStringLiteral("mask_block")), 1);
    driver.write("7\n-1\n");
    ASSERT_TRUE(driver.waitForLine(pushed, 2)) << driver.out;
    EXPECT_EQ(driver.countOut(QStringLiteral("#End read rooms")), 2);
    EXPECT_EQ(shield.virtualListWord(0), 0x0020);
    EXPECT_EQ(shield.blackListWord(0), 0x0080);
    EXPECT_EQ(driver.err, QString());

    // The host closes its end: one line on the diagnostic log, and the driver goes on idle.
    driver.process.closeWriteChannel();
    EXPECT_TRUE(driver.waitFor([&] { return driver.err.contains(QLatin1Char('\n')); }, 10000));
    const double cpuBefore = driver.cpuSeconds();
    QElapsedTimer idle;
    idle.start();
    while (idle.elapsed() < 2000)
        driver.pump(100);
    const double cpuAfter = driver.cpuSeconds();
    ASSERT_EQ(driver.process.state(), QProcess::Running) << driver.err;
    ASSERT_GE(cpuBefore, 0);
    // An idle driver uses a few hundredths of a second here; a reader spinning on the closed
    // input would take most of a core.
    EXPECT_LT(cpuAfter - cpuBefore, 0.5) << "CPU seconds used in 2 s after the input closed";
    EXPECT_EQ(driver.err.count(QLatin1Char('\n')), 1) << driver.err;
    EXPECT_TRUE(driver.err.contains(QStringLiteral("input closed"))) << driver.err;

    // Line events still reach the host.
    shield.raiseDial(300);
    EXPECT_TRUE(driver.waitForLine(QStringLiteral("dial 300"))) << driver.out;
}
