// Link start and restart with the real transfer and supervisor threads: the reboot pulse on the
// chip-select and reset lines in both addressing modes, no bus traffic before or during it, and
// what a restart stops, resets and keeps.
#include "shield/drivercontrol.h"
#include "board/board.h"
#include "config/settings.h"
#include "link/callledger.h"
#include "link/frame.h"
#include "link/playbackstate.h"
#include "link/spicommand.h"
#include "link/spiconnector.h"
#include "link/threadspitransmitter.h"
#include "shield/spiparsers.h"
#include "shield/threadshieldhandler.h"
#include "support/consolecapture.h"
#include "support/shieldlinks.h"

#include <QCoreApplication>
#include <QStringList>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// Records the reboot lines and delays in order (delays are not slept); every exchange of the
// transfer loop shows as one "bus" entry. Written by the main and transfer threads, read by the
// test: one mutex guards the log.
class LineBoard : public Board
{
public:
    void gpio_set_reset(quint8 level) override
    {
        if (level == 0 && threadsRunning)
            note(threadsRunning() ? "threads running at reset" : "threads stopped at reset");
        note(QStringLiteral("reset=%1").arg(level));
    }
    void spi_set_cs0(quint8 level) override { chipSelect(0, level); }
    void spi_set_cs1(quint8 level) override { chipSelect(1, level); }
    void spi_set_cs2(quint8 level) override { chipSelect(2, level); }
    void spi_set_cs3(quint8 level) override { chipSelect(3, level); }
    void spi_set_cs4(quint8 level) override { chipSelect(4, level); }
    void spi_set_cs5(quint8 level) override { chipSelect(5, level); }
    // An idle line: nothing answers, every byte clocked in is 0.
    void spi_transfer(quint8 *, quint8 *received, quint16 length) override
    {
        std::fill(received, received + length, quint8(0));
        note("bus");
    }
    void delay_ms(quint32 ms) override { note(QStringLiteral("delay %1").arg(ms)); }

    QStringList log() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return entries;
    }
    // The log without the bus entries.
    QStringList lines() const
    {
        QStringList l = log();
        l.removeAll(QStringLiteral("bus"));
        return l;
    }
    void clear()
    {
        std::lock_guard<std::mutex> lock(mutex);
        entries.clear();
    }

    std::function<bool()> threadsRunning;  // asked when the reset line goes low

private:
    void chipSelect(int line, quint8 level)
    {
        note(QStringLiteral("cs%1=%2").arg(line).arg(level));
    }
    void note(const QString &entry)
    {
        std::lock_guard<std::mutex> lock(mutex);
        entries << entry;
    }

    mutable std::mutex mutex;
    QStringList entries;
};

// What one reboot writes, in order.
QStringList reboot(bool multi)
{
    const int select = multi ? 1 : 0;
    QStringList lines;
    for (int cs = 0; cs < 6; ++cs)
        lines << QStringLiteral("cs%1=%2").arg(cs).arg(select);
    lines << "threads stopped at reset" << "reset=0" << "delay 600" << "reset=1" << "delay 200";
    for (int cs = 0; cs < 6; ++cs)
        lines << QStringLiteral("cs%1=%2").arg(cs).arg(1 - select);
    return lines;
}

// The link as the driver builds it, with the given thread periods.
class Rig : public ShieldLinks
{
public:
    Rig(bool multi, int transferMs, int supervisorMs)
    {
        settings.parse(multi ? QStringList{"x", "-multishield"} : QStringList{"x"});
        parsers = std::make_unique<SPIparsers>(&settings, nullptr, &command);
        transfer = std::make_unique<ThreadSpiTransmitter>(transferMs, &settings, parsers.get(),
                                                          pointers, &board, &linkMutex);
        supervisor = std::make_unique<ThreadShieldHandler>(supervisorMs, &settings, &command,
                                                           pointers, &linkMutex, &board);
        control = std::make_unique<DriverControl>(transfer.get(), supervisor.get(), &settings,
                                                  &command, pointers, &board);
        board.threadsRunning = [this] { return transfer->isRunning() || supervisor->isRunning(); };
    }
    ~Rig() { board.threadsRunning = nullptr; }

    bool bothRunning() const { return transfer->isRunning() && supervisor->isRunning(); }

    ConsoleCapture capture;
    PiMutex linkMutex;
    LineBoard board;
    std::unique_ptr<SPIparsers> parsers;
    std::unique_ptr<ThreadSpiTransmitter> transfer;
    std::unique_ptr<ThreadShieldHandler> supervisor;
    std::unique_ptr<DriverControl> control;
};

// Waits (generously) until the transfer loop has exchanged at least n frames since the log began.
bool waitForBus(const LineBoard &board, int n)
{
    for (int i = 0; i < 1000; ++i) {
        if (board.log().count(QStringLiteral("bus")) >= n)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

class StartAndRestart : public ::testing::TestWithParam<bool>
{
};

TEST_P(StartAndRestart, RebootPulseNeverOverlapsBusTraffic)
{
    const bool multi = GetParam();
    Rig rig(multi, 4, 2);

    rig.control->start_connect_with_shield();
    EXPECT_TRUE(rig.bothRunning());
    ASSERT_TRUE(waitForBus(rig.board, 3)) << "the transfer loop runs after the start";
    QStringList log = rig.board.log();
    EXPECT_EQ(log.mid(0, reboot(multi).size()), reboot(multi)) << "the reboot comes first";
    EXPECT_EQ(rig.board.lines(), reboot(multi));

    rig.board.clear();
    rig.control->restart_connect_with_shield();
    EXPECT_TRUE(rig.bothRunning());
    ASSERT_TRUE(waitForBus(rig.board, 1)) << "the transfer loop runs again after the restart";
    log = rig.board.log();
    EXPECT_EQ(rig.board.lines(), reboot(multi));
    const int first = log.indexOf(reboot(multi).first());
    const int last = log.lastIndexOf(reboot(multi).last());
    ASSERT_GE(first, 0);
    EXPECT_EQ(log.mid(first, last - first + 1), reboot(multi)) << "no exchange during the reboot";
    EXPECT_EQ(rig.capture.err().count(QStringLiteral("#Restart ALL Shields")), 1);
}

INSTANTIATE_TEST_SUITE_P(Modes, StartAndRestart, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &info) {
                             return info.param ? "Multi" : "Single";
                         });

// A record in the middle of things: online, reading a list, a push pending, identity known.
void busy(ShieldState &r, quint8 intercom)
{
    r.setState(ShieldState::STATE_ONLINE);
    r.setConsoleModeRead(ShieldState::MODE_READ_VIRTUAL_LIST);
    ShieldState::addApartment(r.virtualList, 300);
    ShieldState::addApartment(r.blackList, 1023);
    r.asyncSendDialplan();
    r.setIntercom(intercom);
    r.setFlagAdrGate(true);
    r.setFirmware(23);
    r.setBeta(1);
    r.setShield(5);
    r.setRevision(2);
    r.setId_0(1);
    r.setId_1(2);
    r.setId_2(3);
    r.firmwareResponse = true;
    r.intercomResponse = true;
    r.ping1Response = true;
    r.ping2Response = false;
    r.virtualListAck = false;
    r.lostInit = true;
}

TEST(Restart, ResetsRecordsAndLinkFlagsButKeepsListsIntercomAndQueuedFrames)
{
    // Periods long enough that neither thread ticks: only the restart touches the records.
    const int never = 600000;
    Rig rig(true, never, never);
    rig.control->start_connect_with_shield();
    ASSERT_TRUE(rig.bothRunning());

    const QByteArray frame = Frame::compose(SPIcommand::PICKUP, 0, 0, 0, 0);
    for (int s = 0; s < 6; ++s) {
        busy(rig.settings.shieldState[size_t(s)], quint8(s + 1));
        SPIconnector &l = rig.links[size_t(s)];
        l.command_queue->append(frame);
        l.event_ack_queue->append(frame);
        l.audio_queue->append(frame);
        l.direct_queue->append(frame);
        l.set_skip_flag(true);
        l.set_long_packet(true);
        l.out_error->transmission_error();
    }
    rig.board.clear();

    rig.control->restart_connect_with_shield();
    EXPECT_TRUE(rig.bothRunning());
    EXPECT_EQ(rig.board.lines(), reboot(true));
    EXPECT_EQ(rig.capture.err().count(QStringLiteral("#Restart ALL Shields")), 1);

    for (int s = 0; s < 6; ++s) {
        SCOPED_TRACE(s);
        ShieldState &r = rig.settings.shieldState[size_t(s)];
        EXPECT_EQ(r.getState(), ShieldState::STATE_OFFLINE);
        EXPECT_EQ(r.step, 0);
        EXPECT_EQ(r.getConsoleModeRead(), ShieldState::MODE_READ_COMMAND);
        EXPECT_FALSE(r.isSendDialplan());
        EXPECT_EQ(r.getFirmware(), 0);
        EXPECT_EQ(r.getBeta(), 0);
        EXPECT_EQ(r.getShield(), 0);
        EXPECT_EQ(r.getRevision(), 0);
        EXPECT_EQ(r.getId_0() | r.getId_1() | r.getId_2(), 0u);
        EXPECT_FALSE(r.firmwareResponse);
        EXPECT_FALSE(r.intercomResponse);
        EXPECT_FALSE(r.ping1Response);
        EXPECT_TRUE(r.ping2Response);
        EXPECT_TRUE(r.virtualListAck);
        EXPECT_FALSE(r.lostInit);
        // Kept: lists, intercom, address gate.
        EXPECT_EQ(ShieldState::listWord16(r.virtualList, 18), 0x1000);
        EXPECT_EQ(ShieldState::listWord16(r.blackList, 63), 0x8000);
        EXPECT_EQ(r.getIntercom(), s + 1);
        EXPECT_TRUE(r.getFlagAdrGate());

        SPIconnector &l = rig.links[size_t(s)];
        EXPECT_EQ(l.command_queue->size(), 1);
        EXPECT_EQ(l.event_ack_queue->size(), 1);
        EXPECT_EQ(l.audio_queue->size(), 1);
        EXPECT_EQ(l.direct_queue->size(), 1);
        EXPECT_FALSE(l.get_skip_flag());
        EXPECT_FALSE(l.get_long_packet());
        EXPECT_EQ(l.out_error->getErrorCount(), 0);
    }
}

TEST(Restart, RepeatedRestartsEachRebootAndLeaveBothThreadsRunning)
{
    Rig rig(false, 4, 2);
    rig.control->start_connect_with_shield();
    rig.board.clear();
    for (int i = 0; i < 3; ++i)
        rig.control->restart_connect_with_shield();
    EXPECT_TRUE(rig.bothRunning());
    EXPECT_EQ(rig.board.lines(), reboot(false) + reboot(false) + reboot(false));
    EXPECT_EQ(rig.capture.err().count(QStringLiteral("#Restart ALL Shields")), 3);
    EXPECT_EQ(rig.control->restartCount(), 3u);  // as the status socket shows it
}

TEST(Restart, RequestsWhileOneIsPendingMakeNoSecondAndItRunsInTheMainThread)
{
    Rig rig(false, 4, 2);
    rig.control->start_connect_with_shield();
    rig.board.clear();
    std::thread other([&] {
        for (int i = 0; i < 3; ++i)
            rig.control->restart_connect_with_shield();
    });
    other.join();
    EXPECT_EQ(rig.board.lines(), QStringList()) << "the restart waits for the main thread";
    QCoreApplication::processEvents();
    EXPECT_TRUE(rig.bothRunning());
    EXPECT_EQ(rig.board.lines(), reboot(false));
    EXPECT_EQ(rig.capture.err().count(QStringLiteral("#Restart ALL Shields")), 1);
    // Once it has run, the next request is a restart of its own.
    rig.control->restart_connect_with_shield();
    EXPECT_EQ(rig.board.lines(), reboot(false) + reboot(false));
}

// One call on shield 0 and the ways it can end, in different orders: the host hears its "drop"
// once. Steps: the host's pickup (pickup and audio-on commands queued), the shield's answers to
// audio on and off, its hang-up, its pickup with audio, a dial, the emergency drop of a hang-up
// watchdog and a restart of the link.
TEST(Restart, EveryCallIsToldOverOnceWhateverTheOrderOfItsEndings)
{
    struct Row {
        const char *steps;
        int drops;
    };
    const Row rows[] = {
        {"host-pickup audio-on hangup restart", 1},  // the audio-off answer not in yet
        {"host-pickup audio-on hangup audio-off restart", 1},
        {"host-pickup audio-on restart", 1},
        {"host-pickup audio-on emergency restart", 1},
        {"host-pickup emergency audio-on restart", 1},  // a late answer reopens nothing
        {"host-pickup audio-on emergency hangup restart", 1},
        // The emergency drop tells every shield in service, in a call or not.
        {"host-pickup audio-on hangup emergency restart", 2},
        {"host-pickup audio-on restart audio-on restart", 1},  // answered after the reboot
        // A new call after the end of the first one is told over in its turn.
        {"host-pickup audio-on hangup host-pickup audio-on restart", 2},
        {"host-pickup audio-on hangup pickup-audio restart", 2},
        {"host-pickup audio-on emergency restart dial hangup", 2},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.steps);
        const int never = 600000;
        Rig rig(true, never, never);
        struct Playback : PlaybackState {
            bool isPlaying(quint8 shield) const override { return playing[shield]; }
            std::array<bool, 6> playing{};
        } playback;
        const auto follow = [&playback](bool on, quint8 shield) { playback.playing[shield] = on; };
        QObject::connect(rig.parsers.get(), &SPIparsers::play_sound, follow);
        QObject::connect(rig.control.get(), &DriverControl::play_sound, follow);
        rig.control->setPlayback(&playback);
        rig.control->setCalls(rig.parsers->calls());
        rig.control->start_connect_with_shield();
        rig.settings.shieldState[0].setState(ShieldState::STATE_ONLINE);

        const auto event = [&](quint8 code) {
            rig.parsers->parser_event(0, Frame::compose(code, 0, 0, 0, 1), &rig.links[0]);
        };
        const auto audio = [&](quint8 on) {
            rig.parsers->parser_command(0, Frame::compose(SPIcommand::AUDIO_PLAY, 0, 0, 0, on),
                                        &rig.links[0]);
        };
        for (const QString &step : QString::fromLatin1(row.steps).split(QLatin1Char(' '))) {
            if (step == QLatin1String("host-pickup")) {
                ASSERT_TRUE(rig.parsers->calls()->hostOpen(0));
                rig.command.command_pickup(0);
                rig.command.command_audio_play(0, true);
            } else if (step == QLatin1String("audio-on") || step == QLatin1String("audio-off")) {
                audio(step == QLatin1String("audio-on") ? 1 : 0);
            } else if (step == QLatin1String("hangup")) {
                event(0x83);
            } else if (step == QLatin1String("pickup-audio")) {
                event(0x85);
            } else if (step == QLatin1String("dial")) {
                event(0x80);
            } else if (step == QLatin1String("emergency")) {
                rig.parsers->emergency_drop();
            } else {
                ASSERT_EQ(step, QLatin1String("restart"));
                rig.control->restart_connect_with_shield();
            }
        }
        const QString drop = QStringLiteral("0 drop");
        EXPECT_EQ(rig.capture.out().count(drop), row.drops)
            << rig.capture.out().join(QLatin1Char('|')).toStdString();
        if (QString::fromLatin1(row.steps).endsWith(QLatin1String("restart"))) {
            EXPECT_FALSE(playback.playing[0]) << "a restart stops the audio of every call";
        }
    }
}

}  // namespace
