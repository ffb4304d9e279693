// The supervisor, tick by tick in the test thread: first-ping pacing, the wait before
// identification, identification and its time-out, the identity block, second-ping pacing, the
// cleanup of a lost shield's link record and the push of both apartment lists. The shield is
// played by raising its record's handshake flags the way the reply parser does.
#include "base/gridtimer.h"
#include "board/board.h"
#include "config/settings.h"
#include "link/frame.h"
#include "link/spicommand.h"
#include "link/spiconnector.h"
#include "shield/shielhandler.h"
#include "support/consolecapture.h"
#include "support/shieldlinks.h"

#include <mutex>

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <functional>
#include <initializer_list>
#include <map>
#include <thread>
#include <utility>
#include <vector>

namespace {

using S = ShieldState;
using Flag = std::atomic<bool> S::*;

// What a shield reports while it is being identified.
struct Identity {
    quint8 intercom;
    quint16 firmware, beta, shield, revision;
    quint32 id0, id1, id2;
};

const Identity release{10, 23, 0, 5, 2, 18, 0xABCDEF01, 0};

const std::vector<Flag> identityFlags = {
    &S::firmwareResponse, &S::shieldResponse, &S::id0Response,
    &S::id1Response,      &S::id2Response,    &S::intercomResponse,
};

// Settings, six link records, the command builder and the supervisor, wired as the driver wires
// them, with or without "-multishield".
class Rig : public ShieldLinks
{
public:
    explicit Rig(bool multi)
    {
        settings.parse(multi ? QStringList{"x", "-multishield"} : QStringList{"x"});
        capture.clear();  // the option warnings of the parse
        QObject::connect(&handler, &ShielHandler::play_sound,
                         [this](bool on, uchar shield) { sounds.push_back({on, shield}); });
    }

    void tick(int n = 1)
    {
        for (int i = 0; i < n; ++i)
            handler.main_func();
    }
    S &record(int shield) { return settings.shieldState[size_t(shield)]; }
    SPIconnector &link(int shield) { return links[size_t(shield)]; }

    // Takes the frames queued for a shield, direct queue first, as the transfer loop would.
    QList<QByteArray> drain(int shield)
    {
        QList<QByteArray> frames;
        QByteArray frame;
        while (link(shield).direct_queue->take(&frame))
            frames << frame;
        while (link(shield).command_queue->take(&frame))
            frames << frame;
        return frames;
    }

    // Ticks until the shield's next first ping goes out, answers it and takes the answer.
    void answerPing1(int shield)
    {
        for (int i = 0; i <= ShielHandler::ping1Ticks; ++i) {
            tick();
            if (countCode(drain(shield), SPIcommand::PING_1) > 0) {
                record(shield).ping1Response = true;
                tick();
                return;
            }
        }
        ADD_FAILURE() << "no first ping for shield " << shield;
    }

    void identify(int shield, const Identity &id)
    {
        S &r = record(shield);
        r.setIntercom(id.intercom);
        r.setFirmware(id.firmware);
        r.setBeta(id.beta);
        r.setShield(id.shield);
        r.setRevision(id.revision);
        r.setId_0(id.id0);
        r.setId_1(id.id1);
        r.setId_2(id.id2);
        for (Flag f : identityFlags)
            r.*f = true;
    }

    // From offline to online: ping answered, the wait, identification; the push is requested.
    void bringOnline(int shield, const Identity &id = release)
    {
        answerPing1(shield);
        tick(ShielHandler::waitBeforeInitTicks);
        ASSERT_EQ(record(shield).getState(), S::STATE_INIT);
        tick();
        identify(shield, id);
        tick();
        ASSERT_EQ(record(shield).getState(), S::STATE_ONLINE);
        drain(shield);
        capture.clear();
    }

    // Ticks n times, acknowledging every list word as soon as it is queued. Returns list words
    // ("v 3 0002", "b 63 8000") and output lines in the order they came.
    QStringList push(int shield, int n)
    {
        QStringList seen;
        for (int i = 0; i < n; ++i) {
            const int before = capture.out().size();
            tick();
            seen << capture.out().mid(before);
            for (const QByteArray &f : drain(shield)) {
                const bool virtualWord = Frame::code(f) == SPIcommand::VIRTUAL_LIST_WORD;
                if (!virtualWord && Frame::code(f) != SPIcommand::BLACK_LIST_WORD)
                    continue;
                seen << word(virtualWord, Frame::u16At2(f), Frame::u16At4(f));
                (virtualWord ? record(shield).virtualListAck : record(shield).blackListAck) = true;
            }
        }
        return seen;
    }

    static QString word(bool virtualList, int index, quint16 bits)
    {
        return QStringLiteral("%1 %2 %3")
            .arg(virtualList ? "v" : "b")
            .arg(index)
            .arg(bits, 4, 16, QLatin1Char('0'));
    }

    static int countCode(const QList<QByteArray> &frames, quint8 code)
    {
        int n = 0;
        for (const QByteArray &f : frames)
            n += Frame::code(f) == code ? 1 : 0;
        return n;
    }

    ConsoleCapture capture;
    PiMutex linkMutex;
    Board board;
    ShielHandler handler{nullptr, &settings, &command, pointers, &linkMutex, &board};
    std::vector<std::pair<bool, int>> sounds;
};

// The complete push of both lists as the shield receives it, with the end lines.
QStringList fullPush(const S &r, const QString &address)
{
    QStringList expected;
    for (int k = 0; k < 64; ++k)
        expected << Rig::word(true, k, S::listWord16(r.virtualList, k));
    expected << QStringLiteral("#Shield") + address + QStringLiteral(" update virtual list");
    for (int k = 0; k < 64; ++k)
        expected << Rig::word(false, k, S::listWord16(r.blackList, k));
    expected << QStringLiteral("#Shield") + address + QStringLiteral(" update black list");
    return expected;
}

// Enough ticks for a whole push acknowledged at once: 128 words, two end lines, some spare.
constexpr int pushTicks = 140;

// ---------------------------------------------------------------------------------------------
// Offline: first pings and the wait before identification.

TEST(SupervisorOffline, FirstTickPingsEveryServedShieldThenEvery1000Ticks)
{
    Rig rig(true);
    // An answer left over from before the ping does not count: the ping clears it.
    rig.record(1).ping1Response = true;
    rig.tick();
    for (int s = 0; s < 6; ++s) {
        EXPECT_EQ(rig.link(s).direct_queue->size(), 1) << "shield " << s;
        EXPECT_EQ(Rig::countCode(rig.drain(s), SPIcommand::PING_1), 1) << "shield " << s;
    }
    EXPECT_EQ(rig.record(1).step, 0);

    rig.tick(ShielHandler::ping1Ticks - 1);
    for (int s = 0; s < 6; ++s)
        EXPECT_TRUE(rig.drain(s).isEmpty()) << "shield " << s;
    rig.tick();
    for (int s = 0; s < 6; ++s)
        EXPECT_EQ(Rig::countCode(rig.drain(s), SPIcommand::PING_1), 1) << "shield " << s;
    EXPECT_TRUE(rig.capture.out().isEmpty());
}

TEST(SupervisorOffline, SingleShieldModeLeavesTheOtherRecordsAndQueuesAlone)
{
    Rig rig(false);
    rig.record(3).ping1Response = true;
    rig.tick(2 * ShielHandler::ping1Ticks + 500);

    EXPECT_EQ(rig.link(0).direct_queue->size(), 3);
    for (int s = 1; s < 6; ++s) {
        EXPECT_EQ(rig.link(s).direct_queue->size(), 0) << "shield " << s;
        EXPECT_EQ(rig.link(s).command_queue->size(), 0) << "shield " << s;
        EXPECT_EQ(rig.record(s).getState(), S::STATE_OFFLINE) << "shield " << s;
        EXPECT_EQ(rig.record(s).step, 0) << "shield " << s;
    }
    EXPECT_TRUE(rig.capture.out().isEmpty());
}

TEST(SupervisorOffline, AnsweredPingWaits750TicksThenIdentifiesOnce)
{
    Rig rig(false);
    rig.answerPing1(0);
    EXPECT_EQ(rig.record(0).getState(), S::STATE_OFFLINE);
    EXPECT_EQ(rig.record(0).step, 1);
    EXPECT_FALSE(rig.record(0).ping1Response);

    rig.tick(ShielHandler::waitBeforeInitTicks - 1);
    EXPECT_EQ(rig.record(0).getState(), S::STATE_OFFLINE);
    EXPECT_TRUE(rig.drain(0).isEmpty()) << "no pings while waiting";
    // A host's command that slipped in as the link was lost goes with the old session.
    rig.link(0).command_queue->append(Frame::compose(SPIcommand::OPEN, 1, 0, 0, 0));
    rig.tick();
    EXPECT_EQ(rig.record(0).getState(), S::STATE_INIT);

    rig.tick();
    const QList<QByteArray> frames = rig.drain(0);
    std::vector<int> codes;
    for (const QByteArray &f : frames)
        codes.push_back(Frame::code(f));
    const std::vector<int> expected = {
        SPIcommand::READ_FIRMWARE, SPIcommand::READ_SHIELD,  SPIcommand::READ_VID0,
        SPIcommand::READ_VID1,     SPIcommand::READ_VID2,    SPIcommand::SET_INTERCOM,
        SPIcommand::READ_INTERCOM,
    };
    EXPECT_EQ(codes, expected);
    ASSERT_EQ(frames.size(), 7);
    EXPECT_EQ(Frame::byte(frames[5], 5), rig.settings.intercomIndex[0].load());

    rig.tick(100);
    EXPECT_TRUE(rig.drain(0).isEmpty()) << "the identification requests go out once";
    EXPECT_EQ(rig.record(0).getState(), S::STATE_INIT);
}

// ---------------------------------------------------------------------------------------------
// Identification: all six answers in any order, the identity block, the time-out.

struct IdentityCase {
    const char *name;
    bool multi;
    int shield;
    Identity id;
    std::vector<int> flagOrder;  // indexes into identityFlags
    QStringList block;
};

class Identification : public ::testing::TestWithParam<IdentityCase>
{
};

TEST_P(Identification, GoesOnlineWithAllSixAnswersAndWritesTheBlock)
{
    const IdentityCase &c = GetParam();
    Rig rig(c.multi);
    rig.answerPing1(c.shield);
    rig.tick(ShielHandler::waitBeforeInitTicks + 1);
    ASSERT_EQ(rig.record(c.shield).getState(), S::STATE_INIT);

    // The values come with their answers; only the last of the six flags completes it.
    Identity id = c.id;
    rig.identify(c.shield, id);
    for (Flag f : identityFlags)
        rig.record(c.shield).*f = false;
    for (size_t n = 0; n < c.flagOrder.size(); ++n) {
        rig.record(c.shield).*identityFlags[size_t(c.flagOrder[n])] = true;
        rig.tick();
        const bool last = n + 1 == c.flagOrder.size();
        EXPECT_EQ(rig.record(c.shield).getState(), last ? S::STATE_ONLINE : S::STATE_INIT)
            << "after flag " << c.flagOrder[n];
    }
    EXPECT_EQ(rig.capture.out(), c.block);
}

INSTANTIATE_TEST_SUITE_P(
    Block, Identification,
    ::testing::Values(
        IdentityCase{"ReleaseSingle",
                     false,
                     0,
                     {10, 23, 0, 5, 2, 18, 0xABCDEF01, 0},
                     {0, 1, 2, 3, 4, 5},
                     {"Intercom: 10", "Program_STM: 23", "Shield: 5", "Revision: 2",
                      "ID: 12abcdef010", "", "shield_ready", ""}},
        IdentityCase{"BetaSingle",
                     false,
                     0,
                     {4, 301, 3, 1, 7, 0x0A05, 1, 0x80000000},
                     {5, 4, 3, 2, 1, 0},
                     {"Intercom: 4", "Program_STM: 301", "Beta: 3",
                      "#WARNING: ZORV not for release!", "Shield: 1", "Revision: 7",
                      "ID: a05180000000", "", "shield_ready", ""}},
        IdentityCase{"BetaMulti",
                     true,
                     2,
                     {7, 65535, 1, 12, 0, 0xFFFFFFFF, 0x10, 0x123},
                     {3, 0, 5, 1, 4, 2},
                     {"Address: 2", "Intercom: 7", "Program_STM: 65535", "Beta: 1",
                      "#WARNING: ZORV not for release!", "Shield: 12", "Revision: 0",
                      "ID: ffffffff10123", "", "2 shield_ready", ""}},
        IdentityCase{"ReleaseMultiLastShield",
                     true,
                     5,
                     {0, 1, 0, 2, 3, 18, 18, 18},
                     {1, 3, 5, 0, 2, 4},
                     {"Address: 5", "Intercom: 0", "Program_STM: 1", "Shield: 2", "Revision: 3",
                      "ID: 121212", "", "5 shield_ready", ""}}),
    [](const ::testing::TestParamInfo<IdentityCase> &info) { return info.param.name; });

TEST(Identification, TimesOutSilentlyAndStartsAfreshNextTime)
{
    Rig rig(false);
    rig.answerPing1(0);
    rig.tick(ShielHandler::waitBeforeInitTicks + 1);  // into identification, requests queued
    ASSERT_EQ(rig.record(0).getState(), S::STATE_INIT);

    // Five of the six answers arrive; the intercom never does.
    rig.record(0).setFirmware(9);
    for (size_t f = 0; f + 1 < identityFlags.size(); ++f)
        rig.record(0).*identityFlags[f] = true;
    rig.tick(ShielHandler::initTimeoutTicks - 1);
    EXPECT_EQ(rig.record(0).getState(), S::STATE_INIT);
    rig.tick();
    EXPECT_EQ(rig.record(0).getState(), S::STATE_OFFLINE);
    EXPECT_TRUE(rig.capture.out().isEmpty());

    // The next identification forgets the earlier answers: the intercom alone is not enough.
    rig.answerPing1(0);
    rig.tick(ShielHandler::waitBeforeInitTicks + 1);
    ASSERT_EQ(rig.record(0).getState(), S::STATE_INIT);
    EXPECT_EQ(rig.record(0).getFirmware(), 0);
    rig.record(0).intercomResponse = true;
    rig.tick(10);
    EXPECT_EQ(rig.record(0).getState(), S::STATE_INIT);
    EXPECT_TRUE(rig.capture.out().isEmpty());
}

// ---------------------------------------------------------------------------------------------
// Online: second pings, lost initialisation, cleanup of a lost shield's link record.

TEST(SupervisorOnline, SecondPingEvery1500TicksOnlyOnceTheLastIsAnswered)
{
    Rig rig(false);
    rig.bringOnline(0);
    rig.tick();
    EXPECT_EQ(Rig::countCode(rig.drain(0), SPIcommand::PING_2), 1);
    EXPECT_FALSE(rig.record(0).ping2Response);

    rig.tick(2 * ShielHandler::ping2Ticks);
    EXPECT_EQ(Rig::countCode(rig.drain(0), SPIcommand::PING_2), 0) << "unanswered: no new ping";

    rig.record(0).ping2Response = true;
    rig.tick();
    EXPECT_EQ(Rig::countCode(rig.drain(0), SPIcommand::PING_2), 1) << "answer lets it go at once";
    rig.record(0).ping2Response = true;
    rig.tick(ShielHandler::ping2Ticks - 1);
    EXPECT_EQ(Rig::countCode(rig.drain(0), SPIcommand::PING_2), 0);
    rig.tick();
    EXPECT_EQ(Rig::countCode(rig.drain(0), SPIcommand::PING_2), 1);
    EXPECT_EQ(rig.record(0).getState(), S::STATE_ONLINE);
}

TEST(SupervisorOnline, LostInitialisationTakesTheShieldOffline)
{
    Rig rig(false);
    rig.bringOnline(0);
    rig.record(0).lostInit = true;
    rig.tick();
    EXPECT_EQ(rig.record(0).getState(), S::STATE_OFFLINE);
    EXPECT_FALSE(rig.record(0).lostInit);
    EXPECT_TRUE(rig.link(0).get_skip_flag());
    EXPECT_TRUE(rig.sounds.empty()) << "the link record is cleaned at the next offline tick";

    rig.tick();
    EXPECT_FALSE(rig.link(0).get_skip_flag());
    EXPECT_EQ(rig.sounds, (std::vector<std::pair<bool, int>>{{false, 0}}));
    EXPECT_TRUE(rig.capture.out().isEmpty());
}

// Fills every part of a link record that a cleanup may or may not touch.
void dirty(SPIconnector &l)
{
    const QByteArray frame = Frame::compose(SPIcommand::PICKUP, 1, 2, 3, 4);
    l.rx_frame = frame;
    l.command_queue->append(frame);
    l.event_ack_queue->append(frame);
    l.audio_queue->append(QByteArray(Frame::longSize, '\x55'));
    l.direct_queue->append(frame);
    l.set_long_packet(true);
    l.out_error->transmit_buffr(frame);
    l.out_error->transmission_error();
    l.out_error->transmission_error();
    l.in_error->isRepeat(0x8A);
    l.in_error->isRepeat(0x8A);
}

struct CleanupCase {
    const char *name;
    bool multi;
    int shield;
};

class Cleanup : public ::testing::TestWithParam<CleanupCase>
{
};

TEST_P(Cleanup, SkipFlagWhileOfflineEmptiesTheLinkRecordButKeepsAudio)
{
    const CleanupCase &c = GetParam();
    Rig rig(c.multi);
    for (int s = 0; s < 6; ++s)
        dirty(rig.link(s));
    SPIconnector &l = rig.link(c.shield);
    l.set_skip_flag(true);
    rig.tick();

    EXPECT_TRUE(l.rx_frame.isEmpty());
    EXPECT_EQ(l.command_queue->size(), 0);
    EXPECT_EQ(l.event_ack_queue->size(), 0);
    EXPECT_EQ(l.audio_queue->size(), 1);
    const QList<QByteArray> direct = l.direct_queue->list;
    ASSERT_EQ(direct.size(), 1) << "only the new first ping";
    EXPECT_EQ(Frame::code(direct[0]), SPIcommand::PING_1);
    EXPECT_EQ(l.out_error->getErrorCount(), 0);
    EXPECT_EQ(l.out_error->getTxState(), SpiOutErrorController::TX_IDLE);
    EXPECT_EQ(l.out_error->lastFrameBytes(), QByteArray(Frame::shortSize, '\0'));
    EXPECT_FALSE(l.in_error->isRepeat(0x8A));
    EXPECT_FALSE(l.get_skip_flag());
    EXPECT_FALSE(l.get_long_packet());
    EXPECT_EQ(rig.sounds, (std::vector<std::pair<bool, int>>{{false, c.shield}}));

    // The other records keep what they hold.
    for (int s = 0; s < 6; ++s) {
        if (s == c.shield)
            continue;
        EXPECT_EQ(rig.link(s).command_queue->size(), 1) << "shield " << s;
        EXPECT_TRUE(rig.link(s).get_long_packet()) << "shield " << s;
    }
    EXPECT_TRUE(rig.capture.out().isEmpty());
}

INSTANTIATE_TEST_SUITE_P(Modes, Cleanup,
                         ::testing::Values(CleanupCase{"Single", false, 0},
                                           CleanupCase{"Multi", true, 3}),
                         [](const ::testing::TestParamInfo<CleanupCase> &info) {
                             return info.param.name;
                         });

TEST(Cleanup, WaitsForTheTransferCycleToEnd)
{
    Rig rig(false);
    dirty(rig.link(0));
    rig.link(0).set_skip_flag(true);

    rig.linkMutex.lock();  // a transfer cycle in progress
    std::thread supervisor([&rig] { rig.tick(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(rig.link(0).get_skip_flag()) << "cleaned while the transfer loop held the link";
    EXPECT_EQ(rig.link(0).command_queue->size(), 1);
    rig.linkMutex.unlock();
    supervisor.join();

    EXPECT_FALSE(rig.link(0).get_skip_flag());
    EXPECT_EQ(rig.link(0).command_queue->size(), 0);
}

// ---------------------------------------------------------------------------------------------
// The push of both apartment lists.

struct PushCase {
    const char *name;
    bool multi;
    int shield;
    std::vector<quint16> virtualApartments;
    std::vector<quint16> blackApartments;
    QString address;                              // in the end lines
    std::vector<std::pair<int, quint16>> checks;  // virtual-list words worth spelling out
};

class Push : public ::testing::TestWithParam<PushCase>
{
};

TEST_P(Push, SendsBothListsWordByWordOnePerAcknowledgement)
{
    const PushCase &c = GetParam();
    Rig rig(c.multi);
    for (quint16 a : c.virtualApartments)
        S::addApartment(rig.record(c.shield).virtualList, a);
    for (quint16 a : c.blackApartments)
        S::addApartment(rig.record(c.shield).blackList, a);
    const QStringList expected = fullPush(rig.record(c.shield), c.address);
    for (const auto &check : c.checks)
        EXPECT_TRUE(expected.contains(Rig::word(true, check.first, check.second)))
            << "word " << check.first;
    rig.bringOnline(c.shield);

    // Without acknowledgements only the first word goes out.
    rig.tick(10);
    QStringList seen;
    for (const QByteArray &f : rig.drain(c.shield)) {
        if (Frame::code(f) == SPIcommand::VIRTUAL_LIST_WORD ||
            Frame::code(f) == SPIcommand::BLACK_LIST_WORD)
            seen << Rig::word(Frame::code(f) == SPIcommand::VIRTUAL_LIST_WORD, Frame::u16At2(f),
                              Frame::u16At4(f));
    }
    ASSERT_EQ(seen, QStringList{expected.first()});
    rig.record(c.shield).virtualListAck = true;

    seen << rig.push(c.shield, pushTicks);
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(rig.record(c.shield).step, 0);
    EXPECT_TRUE(rig.push(c.shield, 10).isEmpty()) << "a push runs once per request";
}

INSTANTIATE_TEST_SUITE_P(
    Lists, Push,
    ::testing::Values(
        PushCase{"EmptySingle", false, 0, {}, {}, "", {{0, 0}, {63, 0}}},
        PushCase{"FilledSingle",
                 false,
                 0,
                 {0, 17, 31, 32, 1023},
                 {5, 1000},
                 "",
                 {{0, 0x0001}, {1, 0x8002}, {2, 0x0001}, {63, 0x8000}}},
        PushCase{"FilledMulti", true, 2, {1023}, {0, 1023}, " 2", {{63, 0x8000}, {62, 0}}}),
    [](const ::testing::TestParamInfo<PushCase> &info) { return info.param.name; });

TEST(Push, RequestDuringAPushRestartsFromWordZeroOnceTheOutstandingWordIsAcknowledged)
{
    Rig rig(false);
    S::addApartment(rig.record(0).virtualList, 100);
    S::addApartment(rig.record(0).blackList, 200);
    rig.bringOnline(0);

    // Words 0 to 9 go out acknowledged, word 10 stays outstanding.
    const QStringList started = rig.push(0, 10);
    ASSERT_EQ(started.size(), 10);
    EXPECT_EQ(started.last(), Rig::word(true, 9, 0));
    rig.tick();
    ASSERT_EQ(Rig::countCode(rig.drain(0), SPIcommand::VIRTUAL_LIST_WORD), 1);

    rig.record(0).asyncSendDialplan();
    rig.tick(20);
    EXPECT_EQ(Rig::countCode(rig.drain(0), SPIcommand::VIRTUAL_LIST_WORD), 0);

    rig.record(0).virtualListAck = true;
    EXPECT_EQ(rig.push(0, pushTicks), fullPush(rig.record(0), ""));
}

TEST(Push, GoingOfflineAbandonsThePushAndTheNextOnlineSendsBothListsInFull)
{
    Rig rig(true);
    const int shield = 4;
    S::addApartment(rig.record(shield).virtualList, 64);
    S::addApartment(rig.record(shield).blackList, 65);
    rig.bringOnline(shield);
    rig.push(shield, 5);  // words 0 to 4 sent, word 4 acknowledged
    rig.tick();           // word 5 outstanding

    rig.link(shield).set_skip_flag(true);
    rig.tick();
    EXPECT_EQ(rig.record(shield).getState(), S::STATE_OFFLINE);
    rig.tick(5);
    // The cleanup also dropped the outstanding word 5; nothing follows it.
    const QList<QByteArray> afterLoss = rig.drain(shield);
    EXPECT_EQ(Rig::countCode(afterLoss, SPIcommand::VIRTUAL_LIST_WORD), 0);
    EXPECT_EQ(Rig::countCode(afterLoss, SPIcommand::BLACK_LIST_WORD), 0);
    EXPECT_TRUE(rig.capture.out().isEmpty());

    rig.bringOnline(shield);
    EXPECT_EQ(rig.push(shield, pushTicks), fullPush(rig.record(shield), " 4"));
}

// ---------------------------------------------------------------------------------------------
// Sleeping until due. The clock is the script's: tick numbers. A supervisor that runs only at the
// tick its own counts name, or at the tick after another thread handed it something (a wake-up
// lands on the next grid tick), must do what one that runs every tick does, tick for tick.

// How each scripted shield answers, and what happens to it besides.
struct Behaviour {
    int delay = 3;                    // ticks from a request to its answer
    bool answersPing1 = true;
    bool answersIdentity = true;
    int ping2AnsweredUntil = 1 << 30;  // second pings sent later stay unanswered
    int lostAt = 0;                   // the transfer loop loses the link before this tick
    int lostInitAt = 0;               // the first second-ping answer from here reports it
    int pushAt = 0;                   // the host asks for a list push before this tick
};

// Runs `ticks` ticks of the script, with a link restart before tick `restartAt`; returns every
// frame queued and every line written, each with its tick, and how many ticks the supervisor ran.
std::pair<QStringList, int> runScript(const std::vector<Behaviour> &shields, int ticks,
                                      int restartAt, bool sleeping)
{
    Rig rig(true);
    std::multimap<int, std::function<void()>> due;  // before tick: what another thread does
    const auto at = [&](int tick, std::function<void()> action) {
        if (tick > 0)
            due.emplace(tick, std::move(action));
    };
    for (int s = 0; s < int(shields.size()); ++s) {
        S &r = rig.record(s);
        at(shields[size_t(s)].lostAt, [&rig, &r, s] {
            rig.link(s).set_skip_flag(true);
            r.setState(S::STATE_OFFLINE);
        });
        at(shields[size_t(s)].pushAt, [&r] { r.asyncSendDialplan(); });
    }
    QStringList trace;
    int runs = 0;
    int last = 0;
    quint64 next = 1;
    // The supervisor's next tick: it sleeps from the tick `from` until its next work is due.
    const auto plan = [&rig](int from) {
        const quint64 ahead = rig.handler.ticksUntilDue();
        return ahead == GridTimer::never ? GridTimer::never : quint64(from) + ahead;
    };
    for (int t = 1; t <= ticks; ++t) {
        if (t == restartAt) {
            // Both threads stopped, the records and link flags reset, both started again: the
            // supervisor's counts carry over, with the ticks it slept through before the stop,
            // and its new run sleeps from here.
            if (sleeping)
                rig.handler.skipTicks(quint64(t - 1 - last));
            for (int s = 0; s < maxShields; ++s) {
                rig.link(s).set_skip_flag(false);
                rig.record(s).to_null();
                rig.record(s).setState(S::STATE_OFFLINE);
            }
            last = t - 1;
            next = plan(last);
        }
        bool woken = false;
        for (auto it = due.begin(); it != due.end() && it->first <= t; it = due.erase(it)) {
            it->second();
            woken = true;
        }
        if (sleeping && !woken && quint64(t) < next)
            continue;
        if (sleeping)
            rig.handler.skipTicks(quint64(t - last - 1));
        const int before = rig.capture.out().size();
        rig.tick();
        ++runs;
        last = t;
        next = plan(t);
        for (const QString &line : rig.capture.out().mid(before))
            trace << QStringLiteral("%1 %2").arg(t).arg(line);
        for (int s = 0; s < int(shields.size()); ++s) {
            const Behaviour &b = shields[size_t(s)];
            S &r = rig.record(s);
            for (const QByteArray &f : rig.drain(s)) {
                const quint8 code = Frame::code(f);
                trace << QStringLiteral("%1 shield %2 code %3").arg(t).arg(s).arg(code);
                // The flag the reply parser raises for the answer.
                const std::map<int, Flag> answers = {
                    {SPIcommand::PING_1, &S::ping1Response},
                    {SPIcommand::PING_2, &S::ping2Response},
                    {SPIcommand::VIRTUAL_LIST_WORD, &S::virtualListAck},
                    {SPIcommand::BLACK_LIST_WORD, &S::blackListAck},
                    {SPIcommand::READ_FIRMWARE, &S::firmwareResponse},
                    {SPIcommand::READ_SHIELD, &S::shieldResponse},
                    {SPIcommand::READ_INTERCOM, &S::intercomResponse},
                    {SPIcommand::READ_VID0, &S::id0Response},
                    {SPIcommand::READ_VID1, &S::id1Response},
                    {SPIcommand::READ_VID2, &S::id2Response},
                };
                const bool identity = code <= SPIcommand::READ_VID2;
                const auto answer = answers.find(code);
                if (answer == answers.end() || (identity && !b.answersIdentity) ||
                    (code == SPIcommand::PING_1 && !b.answersPing1) ||
                    (code == SPIcommand::PING_2 && t >= b.ping2AnsweredUntil))
                    continue;
                std::atomic<bool> *flag = &(r.*answer->second);
                const bool lost = code == SPIcommand::PING_2 && b.lostInitAt > 0 &&
                                  t + b.delay >= b.lostInitAt;
                at(t + b.delay, [flag, lost, &r] {
                    if (lost)
                        r.lostInit = true;
                    *flag = true;
                });
            }
        }
    }
    return {trace, runs};
}

TEST(SupervisorSleep, RunsOnlyWhenDueAndDoesWhatEveryTickDoes)
{
    std::vector<Behaviour> shields(6);
    shields[1].answersIdentity = false;  // identification times out, again and again
    shields[1].lostAt = 5001;            // and once the link is lost while it waits
    shields[2].answersPing1 = false;     // pinged every 1000 ticks for ever
    shields[3].ping2AnsweredUntil = 9000;  // then waits for an answer that never comes
    shields[3].lostAt = 12001;             // until the transfer loop gives the link up
    shields[4].pushAt = 8003;              // the host loads new lists
    shields[4].lostInitAt = 15000;
    shields[5].delay = 7;
    const int ticks = 30000;  // a minute of the supervisor's 2 ms grid
    const int restartAt = 20001;
    const auto everyTick = runScript(shields, ticks, restartAt, false);
    const auto sleeper = runScript(shields, ticks, restartAt, true);
    ASSERT_GT(everyTick.first.size(), 500);
    EXPECT_EQ(sleeper.first, everyTick.first);
    EXPECT_LT(sleeper.second, ticks / 10) << "the supervisor slept through the ticks with nothing due";
}

TEST(SupervisorSleep, EachWaitNamesItsTick)
{
    Rig rig(false);
    EXPECT_EQ(rig.handler.ticksUntilDue(), 1u) << "the first ping goes out at once";
    rig.tick();
    EXPECT_EQ(rig.handler.ticksUntilDue(), quint64(ShielHandler::ping1Ticks));
    rig.record(0).ping1Response = true;
    EXPECT_EQ(rig.handler.ticksUntilDue(), 1u) << "an answer is taken at the next tick";
    rig.tick();
    EXPECT_EQ(rig.handler.ticksUntilDue(), quint64(ShielHandler::waitBeforeInitTicks));
    rig.handler.skipTicks(ShielHandler::waitBeforeInitTicks - 1);
    rig.tick();
    ASSERT_EQ(rig.record(0).getState(), S::STATE_INIT);
    EXPECT_EQ(rig.handler.ticksUntilDue(), 1u) << "the requests are queued at the next tick";
    rig.tick();
    EXPECT_EQ(rig.handler.ticksUntilDue(), quint64(ShielHandler::initTimeoutTicks));
    rig.identify(0, release);
    rig.tick();
    ASSERT_EQ(rig.record(0).getState(), S::STATE_ONLINE);
    rig.tick();  // the second ping and the first list word, both unanswered
    EXPECT_EQ(rig.handler.ticksUntilDue(), quint64(ShielHandler::ping2Ticks));
    rig.handler.skipTicks(ShielHandler::ping2Ticks);
    rig.tick();
    EXPECT_EQ(rig.handler.ticksUntilDue(), GridTimer::never) << "only an answer brings work";
    rig.record(0).virtualListAck = true;
    EXPECT_EQ(rig.handler.ticksUntilDue(), 1u);

    // A late tick loses the ticks beyond the one due, as it always did: the ping is not skipped.
    Rig late(false);
    late.tick();
    late.drain(0);
    late.handler.skipTicks(5 * ShielHandler::ping1Ticks);
    late.tick();
    EXPECT_EQ(Rig::countCode(late.drain(0), SPIcommand::PING_1), 1);
    EXPECT_EQ(late.handler.ticksUntilDue(), quint64(ShielHandler::ping1Ticks));
}

}  // namespace
