// The network a test program runs in: one of its own with the loopback up, which the programs
// it starts share, so the fixed ports of its drivers meet nobody else's; where none can be made,
// a turn on the machine's network, announced, waited for and held for the whole run.

#include "support/e2eprocess.h"
#include "support/ownnetwork.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QTemporaryDir>
#include <QUdpSocket>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

std::string networkOf(qint64 pid)
{
    char target[64] = {};
    const std::string link = "/proc/" + std::to_string(pid) + "/ns/net";
    return ::readlink(link.c_str(), target, sizeof target - 1) > 0 ? target : "";
}

}  // namespace

TEST(TestNetwork, OwnWithLoopbackUpSharedWithTheDriverOrATurnHeld)
{
    if (ownnetwork::current() != ownnetwork::Network::Own) {
        const int fd = ::open(ownnetwork::turnFile().c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        EXPECT_NE(::flock(fd, LOCK_EX | LOCK_NB), 0) << "no turn held on the machine's network";
        ::close(fd);
        return;
    }
    EXPECT_NE(networkOf(::getpid()), networkOf(::getppid()));
    // A driver's fixed port on the loopback is ours, and datagrams go round.
    QUdpSocket in, out;
    ASSERT_TRUE(in.bind(QHostAddress::LocalHost, 20003, QUdpSocket::DontShareAddress));
    out.writeDatagram("x", QHostAddress::LocalHost, 20003);
    EXPECT_TRUE(E2eProcess::waitUntil([&] { return in.hasPendingDatagrams(); }));
    E2eProcess driver(QStringLiteral("stm-driver"), QStringLiteral(STM_DRIVER_PATH),
                      testDriverArgs({QStringLiteral("-emulate")}));
    ASSERT_TRUE(driver.started());
    EXPECT_EQ(networkOf(driver.pid()), networkOf(::getpid()));
}

TEST(TestNetwork, OnTheMachinesNetworkAProgramSaysSoAndWaitsForItsTurn)
{
    QTemporaryDir dir;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("STM_TEST_NETWORK"), QStringLiteral("shared"));
    environment.insert(QStringLiteral("TMPDIR"), dir.path());
    qputenv("TMPDIR", dir.path().toLocal8Bit());
    const std::string file = ownnetwork::turnFile();
    qunsetenv("TMPDIR");
    const int fd = ::open(file.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);

    E2eProcess self(QStringLiteral("test program"), QCoreApplication::applicationFilePath(),
                    {QStringLiteral("--gtest_filter=TestNetwork.OwnWith*")}, environment);
    ASSERT_TRUE(self.waitForErr(QStringLiteral("take turns"))) << self.describe();
    EXPECT_TRUE(self.err().contains(QStringLiteral("(STM_TEST_NETWORK=shared)")));
    EXPECT_FALSE(self.waitForFinished(2000)) << "ran without its turn";
    ::close(fd);
    ASSERT_TRUE(self.waitForFinished()) << self.describe();
    EXPECT_EQ(self.exitCode(), 0) << self.describe();
}

TEST(TestNetwork, ProgramsOfAnotherBuildReplaceThisBuildsOnesWhereverTheyAreNamed)
{
    QTemporaryDir other;
    QFile driver(other.filePath(QStringLiteral("stm-driver")));
    ASSERT_TRUE(driver.open(QIODevice::WriteOnly));
    driver.write("#!/bin/sh\necho \"other build: $*\"\n");
    driver.close();
    driver.setPermissions(QFile::ReadOwner | QFile::ExeOwner);
    qputenv("STM_TEST_PROGRAMS", other.path().toLocal8Bit());
    // Started itself, and named to a wrapper; anything else stays as it is.
    E2eProcess direct(QStringLiteral("direct"), QStringLiteral(STM_DRIVER_PATH),
                      {QStringLiteral("-v")});
    E2eProcess wrapped(
        QStringLiteral("wrapped"), QStringLiteral("/bin/sh"),
        {QStringLiteral("-c"), QStringLiteral("exec \"$0\" -x"), QStringLiteral(STM_DRIVER_PATH)});
    EXPECT_EQ(testProgram(QStringLiteral("/bin/sh")), QStringLiteral("/bin/sh"));
    // stm-flash, built beside stm-status, is replaced too.
    const QString flash =
        QFileInfo(QStringLiteral(STM_STATUS_PATH)).dir().filePath(QStringLiteral("stm-flash"));
    EXPECT_EQ(testProgram(flash), other.filePath(QStringLiteral("tools/stm-flash")));
    qunsetenv("STM_TEST_PROGRAMS");
    EXPECT_GE(direct.waitForLine(QStringLiteral("other build: -v")), 0) << direct.describe();
    EXPECT_GE(wrapped.waitForLine(QStringLiteral("other build: -x")), 0) << wrapped.describe();
    EXPECT_EQ(testProgram(QStringLiteral(STM_DRIVER_PATH)), QStringLiteral(STM_DRIVER_PATH));
}
