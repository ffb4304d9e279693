// The driver binary as the host starts it: the version and option errors, the start-up banner,
// the GPIO set-up seen by a simulator of the shields, and the ways the process ends at once.

#include "board/boardconfigured.h"
#include "board/gpiolines.h"
#include "support/e2eprocess.h"
#include "support/recordingbusserver.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

constexpr int waitMs = 10000;
const QString warning0 = QStringLiteral("#WARNING: No intercom select for shield 0\n");
const QString banner = QStringLiteral("#STM_driver_2v18\nKVT_STM_Driver 2.18\n\n");

// The driver started with some words (and "-status none" unless they name a status socket);
// collects what it writes.
class Driver
{
public:
    explicit Driver(const QStringList &args)
    {
        process.start(testProgram(QStringLiteral(STM_DRIVER_PATH)), testDriverArgs(args));
    }
    ~Driver()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(waitMs);
        }
    }

    bool started() { return process.waitForStarted(waitMs); }
    // Waits for the process to end by itself.
    bool finished() { return process.waitForFinished(waitMs); }
    // Reads standard output until it holds at least `size` bytes.
    QString outAtLeast(int size)
    {
        QElapsedTimer clock;
        clock.start();
        while (out.size() < size && clock.elapsed() < waitMs) {
            process.waitForReadyRead(100);
            collect();
        }
        return QString::fromUtf8(out);
    }
    QString stdOut()
    {
        collect();
        return QString::fromUtf8(out);
    }
    QString stdErr()
    {
        collect();
        return QString::fromUtf8(err);
    }
    bool running() const { return process.state() == QProcess::Running; }
    void kill()
    {
        process.kill();
        process.waitForFinished(waitMs);
    }
    int exitCode() const { return process.exitCode(); }
    QProcess::ExitStatus exitStatus() const { return process.exitStatus(); }

private:
    void collect()
    {
        out += process.readAllStandardOutput();
        err += process.readAllStandardError();
    }

    QProcess process;
    QByteArray out, err;
};

bool boardHardwarePresent()
{
    GpioChip *chip = gpio::openChip(BoardConfigured::gpioChipLabel);
    if (!chip)
        return false;
    gpio::closeChip(chip);
    return true;
}

const QList<RecordingBusServer::PinWrite> gpioInitWrites = {{6, 0},  {15, 0}, {16, 0}, {13, 0}, {10, 0},
                                                      {9, 0},  {8, 0},  {0, 0},  {7, 1}};

}  // namespace

TEST(DriverProcess, VersionEndsBeforeEverythingElse)
{
    const QStringList cases[] = {
        {QStringLiteral("-v")},
        {QStringLiteral("-v"), QStringLiteral("-spi"), QStringLiteral("x")},
        {QStringLiteral("-multishield"), QStringLiteral("-spi"), QStringLiteral("x"),
         QStringLiteral("-board"), QStringLiteral("nope"), QStringLiteral("-v")},
    };
    for (const QStringList &args : cases) {
        SCOPED_TRACE(args.join(QLatin1Char(' ')).toStdString());
        Driver driver(args);
        ASSERT_TRUE(driver.finished());
        EXPECT_EQ(driver.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(driver.exitCode(), 0);
        EXPECT_EQ(driver.stdOut().toStdString(), "KVT_STM_Driver: v2.18\n");
        EXPECT_EQ(driver.stdErr().toStdString(), "");
    }
}

TEST(DriverProcess, StartUpErrorsEndWithStatusOne)
{
    QTemporaryDir dir;
    struct Case {
        QStringList args;
        QString out;              // all of standard output
        QStringList errContains;  // the one standard-error line holds these
    };
    QList<Case> cases = {
        {{QStringLiteral("-spi"), QStringLiteral("x")}, warning0, {}},
        {{QStringLiteral("-spi")}, warning0, {}},
        {{QStringLiteral("-board"), QStringLiteral("nope")}, warning0, {QStringLiteral("nope")}},
        {{QStringLiteral("-board")}, warning0, {}},
        {{QStringLiteral("-simbus")}, warning0 + banner, {QStringLiteral("-simbus")}},
        {{QStringLiteral("-simbus"), dir.filePath(QStringLiteral("nobody"))},
         warning0 + banner,
         {dir.filePath(QStringLiteral("nobody"))}},
    };
    if (!boardHardwarePresent()) {
        // Without the SoC's GPIO chip: the line names it and the way to run without hardware.
        const QStringList noChip = {QStringLiteral("1c20800.pinctrl"), QStringLiteral("-simbus")};
        cases << Case{{}, warning0 + banner, noChip}
              << Case{{QStringLiteral("-board"), QStringLiteral("h3")}, warning0 + banner, noChip}
              << Case{{QStringLiteral("-spi"), QStringLiteral("1")}, warning0 + banner, noChip};
    }
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args.join(QLatin1Char(' ')).toStdString());
        Driver driver(c.args);
        ASSERT_TRUE(driver.finished());
        EXPECT_EQ(driver.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(driver.exitCode(), 1);
        EXPECT_EQ(driver.stdOut().toStdString(), c.out.toStdString());
        const QString err = driver.stdErr();
        EXPECT_TRUE(err.startsWith(QStringLiteral("#ERROR"))) << err.toStdString();
        EXPECT_EQ(err.count(QLatin1Char('\n')), 1) << err.toStdString();
        EXPECT_TRUE(err.endsWith(QLatin1Char('\n')));
        for (const QString &part : c.errContains)
            EXPECT_TRUE(err.contains(part)) << err.toStdString();
    }
}

TEST(DriverProcess, BadSpiValueIsTheOnlyError)
{
    Driver driver({QStringLiteral("-spi"), QStringLiteral("x")});
    ASSERT_TRUE(driver.finished());
    EXPECT_EQ(driver.exitCode(), 1);
    EXPECT_EQ(driver.stdErr().toStdString(), "#ERROR: Unknown parameters\n");
}

TEST(DriverProcess, RunsOnTheSimulatedBus)
{
    RecordingBusServer server;
    Driver driver({QStringLiteral("-simbus"), server.path()});
    ASSERT_TRUE(driver.started());
    ASSERT_TRUE(server.waitForConnection(waitMs));
    ASSERT_TRUE(server.waitForPinWrites(gpioInitWrites.size(), waitMs));
    // The GPIO set-up is the first thing on the bus.
    EXPECT_EQ(server.pinWrites().mid(0, gpioInitWrites.size()), gpioInitWrites);
    EXPECT_FALSE(server.protocolError());
    EXPECT_EQ(driver.outAtLeast((warning0 + banner).size()).toStdString(),
              (warning0 + banner).toStdString());
    // It keeps running: only a kill ends it.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(driver.running()) << driver.stdErr().toStdString();
}

TEST(DriverProcess, SimulatorGoingAwayEndsTheDriver)
{
    RecordingBusServer server;
    Driver driver({QStringLiteral("-simbus"), server.path()});
    ASSERT_TRUE(server.waitForPinWrites(gpioInitWrites.size(), waitMs));
    server.closeClient();
    ASSERT_TRUE(driver.finished());
    EXPECT_EQ(driver.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(driver.exitCode(), 1);
    const QString err = driver.stdErr();
    EXPECT_EQ(err.count(QStringLiteral("#ERROR")), 1) << err.toStdString();
}

TEST(DriverProcess, IntercomLinesComeBeforeTheBanner)
{
    RecordingBusServer server;
    Driver driver({QStringLiteral("-multishield"), QStringLiteral("-ic"), QStringLiteral("136"),
                   QStringLiteral("-simbus"), server.path()});
    QString expected;
    for (int s = 0; s < 6; ++s)
        expected += QStringLiteral("#Intercom 136 supported indexes for shield %1\n").arg(s);
    expected += banner;
    EXPECT_TRUE(driver.outAtLeast(expected.size()).startsWith(expected))
        << driver.stdOut().toStdString();
}

TEST(DriverProcess, StatusSocketIsSetUpAfterTheOptionsAndASecondDriverRunsWithoutIt)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("run/status.sock"));

    Driver version({QStringLiteral("-status"), path, QStringLiteral("-v")});
    ASSERT_TRUE(version.finished());
    EXPECT_EQ(version.stdOut().toStdString(), "KVT_STM_Driver: v2.18\n");
    EXPECT_FALSE(QFileInfo::exists(path));

    Driver first({QStringLiteral("-emulate"), QStringLiteral("-status"), path});
    ASSERT_TRUE(first.started());
    EXPECT_TRUE(E2eProcess::waitUntil([&] { return QFileInfo::exists(path); }, waitMs));
    EXPECT_EQ(askStatus(path).value(QStringLiteral("mode")).toString(), QStringLiteral("single"));

    // The second finds the first answering: one warning, and it serves its shields all the same.
    Driver second({QStringLiteral("-emulate"), QStringLiteral("-status"), path});
    ASSERT_TRUE(second.started());
    EXPECT_TRUE(second.outAtLeast((warning0 + banner).size()).startsWith(warning0 + banner));
    EXPECT_TRUE(E2eProcess::waitUntil([&] { return second.stdErr().contains('\n'); }, waitMs));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    // (A busy machine may stretch a transfer cycle and make either driver say so.)
    const QString err = withoutOverrunReports(second.stdErr());
    EXPECT_EQ(err.count(QLatin1Char('\n')), 1) << err.toStdString();
    EXPECT_TRUE(err.startsWith(QStringLiteral("#WARNING")) && err.contains(path))
        << err.toStdString();
    EXPECT_TRUE(second.running());
    EXPECT_EQ(withoutOverrunReports(first.stdErr()).toStdString(), "");

    // Killed, the first leaves its socket file; the next driver takes it over without a word.
    first.kill();
    Driver third({QStringLiteral("-emulate"), QStringLiteral("-status"), path});
    ASSERT_TRUE(third.started());
    EXPECT_TRUE(E2eProcess::waitUntil(
        [&] { return askStatus(path).contains(QStringLiteral("shields")); }, waitMs));
    EXPECT_EQ(withoutOverrunReports(third.stdErr()).toStdString(), "");
}
