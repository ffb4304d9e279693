// The two watchdogs seen through the event parser: the dial-flood rule with its burst window,
// and the hang-up watchdog that forces the drop and the link restart when no hang-up comes, but
// not while the host's events, the hang-up perhaps among them, wait in the shields.
#include "config/settings.h"
#include "link/frame.h"
#include "link/spicommand.h"
#include "link/spiconnector.h"
#include "shield/drivercontrol.h"
#include "shield/spiparsers.h"
#include "shield/watchdial.h"
#include "shield/watchdrop.h"
#include "support/consolecapture.h"
#include "support/driverharness.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QThread>
#include <QTimer>

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <string>
#include <thread>
#include <fcntl.h>
#include <unistd.h>

namespace {

std::array<SPIconnector *, 6> addressesOf(std::array<SPIconnector, 6> &links)
{
    std::array<SPIconnector *, 6> pointers{};
    for (size_t i = 0; i < links.size(); ++i)
        pointers[i] = &links[i];
    return pointers;
}

const QString floodLine = QStringLiteral("#ERROR: Flood dial detected! Ignore next dials.");
const QString restartLine = QStringLiteral("#ERROR: Drop not detect. Emergency restart.");

const QByteArray dial = Frame::compose(0x80, 0, 0, 0x01, 0x2C);
const QByteArray key = Frame::compose(0x86, 0, 0, 0x00, 0x07);
const QByteArray drop = Frame::compose(0x83, 0, 0, 0, 0);
const QByteArray pickup = Frame::compose(0x81, 0, 0, 0, 0);

// Runs the event loop until the time is up, or earlier when `until` is emitted.
template <typename Signal>
void spin(int ms, const typename QtPrivate::FunctionPointer<Signal>::Object *sender = nullptr,
          Signal until = nullptr)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    if (sender)
        QObject::connect(sender, until, &loop, &QEventLoop::quit);
    loop.exec();
}

void spin(int ms)
{
    spin<void (SPIparsers::*)()>(ms);
}

class Watchdogs : public ::testing::Test
{
protected:
    // The parsers with a burst window and a hang-up interval short enough for a test.
    void build(int dialWindowMs, int dropIntervalMs)
    {
        parsers.reset(
            new SPIparsers(&settings, nullptr, &command, dialWindowMs, 35, dropIntervalMs));
        QObject::connect(parsers.get(), &SPIparsers::emergency_restart, [this] { ++restarts; });
    }
    void event(quint8 shield, const QByteArray &frame)
    {
        parsers->parser_event(shield, frame, &links[shield]);
    }

    ConsoleCapture capture;
    Settings settings;
    std::array<SPIconnector, 6> links;
    // Filled before the command builder copies them.
    std::array<SPIconnector *, 6> pointers = addressesOf(links);
    SPIcommand command{pointers.data(), &settings};
    std::unique_ptr<SPIparsers> parsers;
    int restarts = 0;
};

TEST_F(Watchdogs, TheThirtySixthEventOfAChainDeclaresTheFlood)
{
    // Dials and keys count together: 20 dials and 16 keys make the flood as 36 dials do.
    struct Case {
        const char *name;
        int dials;
        int keys;
    };
    for (const Case &c : {Case{"dials", 36, 0}, Case{"dials and keys", 20, 16}}) {
        SCOPED_TRACE(c.name);
        build(60000, 420000);
        capture.clear();
        QStringList expected;
        for (int i = 0; i < c.dials + c.keys; ++i) {
            const bool isDial = i < c.dials;
            event(0, isDial ? dial : key);
            if (i < 35)
                expected << (isDial ? QStringLiteral("dial 300") : QStringLiteral("keyopen 7"));
        }
        expected << floodLine;
        EXPECT_EQ(capture.out(), expected);
        EXPECT_TRUE(parsers->getWatchDial()->IsFlood());
    }
}

TEST_F(Watchdogs, AfterAFloodOnlyDialKeyAndDropLinesAreSilenced)
{
    build(60000, 420000);
    for (int i = 0; i < 36; ++i)
        event(0, dial);
    capture.clear();

    event(0, dial);
    event(0, key);
    EXPECT_TRUE(parsers->getWatchDrop(0)->isActive()) << "dials still arm the drop watchdog";
    links[0].set_long_packet(true);
    event(0, drop);
    EXPECT_FALSE(parsers->getWatchDrop(0)->isActive()) << "drops still stop it";
    EXPECT_EQ(links[0].command_queue->size(), 1) << "the audio still stops on hang-up";
    event(0, pickup);
    event(0, Frame::compose(0x82, 0, 0, 0, 1));
    event(0, Frame::compose(0xE3, 0, 0, 0, 9));
    EXPECT_EQ(capture.out(), QStringList({"pickup", "open", "#DEBUG: 9"}));
}

TEST_F(Watchdogs, APauseLongerThanTheWindowStartsANewChain)
{
    build(50, 420000);
    for (int i = 0; i < 35; ++i)
        event(0, dial);
    spin(300);
    for (int i = 0; i < 35; ++i)
        event(0, key);
    EXPECT_FALSE(parsers->getWatchDial()->IsFlood());
    EXPECT_EQ(capture.out().size(), 70);
    EXPECT_FALSE(capture.out().contains(floodLine));
}

TEST_F(Watchdogs, AMissingHangUpForcesTheDropAndOneRestart)
{
    build(2000, 30);
    QStringList played;
    QObject::connect(parsers.get(), &SPIparsers::play_sound, [&](bool value, quint8 shield) {
        played << QStringLiteral("%1 %2").arg(value ? "on" : "off").arg(shield);
    });
    event(0, dial);
    spin(10000, parsers.get(), &SPIparsers::emergency_restart);
    ASSERT_EQ(restarts, 1);
    EXPECT_EQ(capture.out(), QStringList({"dial 300", restartLine, "drop"}));
    EXPECT_EQ(played, QStringList({"off 0"}));

    spin(300);
    EXPECT_EQ(restarts, 1) << "the watchdog fires once per dial";
}

TEST_F(Watchdogs, AHangUpBeforeTheIntervalKeepsTheLinkRunning)
{
    build(2000, 30);
    event(0, dial);
    event(0, drop);
    spin(300);
    EXPECT_EQ(restarts, 0);
    EXPECT_EQ(capture.out(), QStringList({"dial 300", "drop"}));
}

// The host's output fails (a full disk) from before the dial until well past the wait: the wait
// does not end while the events are held, and once the host takes lines again it ends no earlier
// than the grace time later, unless the held hang-up comes through meanwhile.
TEST_F(Watchdogs, WhileTheHostsEventsAreHeldTheHangUpWaitDoesNotEnd)
{
    const int graceMs = 500;
    for (const bool hangUpComes : {false, true}) {
        SCOPED_TRACE(hangUpComes ? "the held hang-up comes" : "no hang-up");
        build(2000, 30);
        restarts = 0;
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0);
        const int fd = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        Console::LineStream host(fd);
        host.setRetryInterval(10);
        parsers->getWatchDrop(0)->setHostOutput(&host, graceMs);
        host.line(QStringLiteral("pickup"));
        for (int i = 0; i < 100 && !host.overBound(); ++i)
            spin(10);
        ASSERT_TRUE(host.overBound());

        event(0, dial);
        spin(1500);
        EXPECT_EQ(restarts, 0) << "the wait ended while the events were held";

        QElapsedTimer sinceRead;
        sinceRead.start();
        ASSERT_EQ(::dup2(fds[1], fd), fd);
        ::close(fds[1]);
        std::string read;
        std::thread reader = readPipeInto(fds[0], read);
        if (hangUpComes) {
            for (int i = 0; i < 1000 && host.overBound(); ++i)
                spin(1);
            event(0, drop);
        }
        spin(hangUpComes ? 4 * graceMs : 10000, parsers.get(), &SPIparsers::emergency_restart);
        EXPECT_EQ(restarts, hangUpComes ? 0 : 1);
        if (!hangUpComes) {
            EXPECT_GE(sinceRead.elapsed(), graceMs);
        }
        ASSERT_TRUE(host.flush(std::chrono::seconds(10)));
        ::close(fd);
        reader.join();
        ::close(fds[0]);
        EXPECT_EQ(read, "pickup\n");
    }
}

// The watchdogs outlive the transfer thread: a link restart stops that thread and starts a new
// one, and neither the burst window nor a running hang-up wait may depend on it.
TEST(WatchdogsAcrossRestarts, APauseEndsAChainAndAHangUpWaitStillFires)
{
    DriverHarness::Options options;
    options.dialWindowMs = 400;
    options.dropIntervalMs = 3000;
    DriverHarness h(options);
    h.start();
    ASSERT_TRUE(h.waitOnline(0));
    const auto dials = [&](int n) {
        const int before = h.out().count(QStringLiteral("dial 300"));
        for (int i = 0; i < n; ++i)
            h.model(0).raiseDial(300);
        return DriverHarness::waitFor(
            [&] { return h.out().count(QStringLiteral("dial 300")) == before + n; });
    };

    // A chain of 20, a restart of the real threads inside its window, then a pause longer than
    // the window: 20 more dials are a new chain, far from the 36 of a flood.
    ASSERT_TRUE(dials(20));
    QElapsedTimer sinceDial;
    sinceDial.start();
    h.control->restart_connect_with_shield();
    ASSERT_TRUE(h.waitOnline(0));
    QThread::msleep(600);
    ASSERT_TRUE(dials(20));
    EXPECT_FALSE(h.out().contains(floodLine));

    // The hang-up wait armed by the last dial runs across two more restarts and fires. The shield
    // stays silent after them: its answer to the first ping would count as proof that it
    // restarted and end the wait.
    const int from = h.out().size();
    sinceDial.restart();
    h.model(0).setMute(true);
    h.control->restart_connect_with_shield();
    h.control->restart_connect_with_shield();
    ASSERT_TRUE(h.waitForLine(restartLine, 20000, from));
    EXPECT_GE(sinceDial.elapsed(), 2500) << "fired early";
}

}  // namespace
