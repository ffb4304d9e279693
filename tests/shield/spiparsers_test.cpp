// The parsers of received frames: what each reply does to the shield record, the error lines,
// every event line with its address forms and gate, the commands queued back to the shield, the
// audio block handed to UDP and the forced hang-up of all shields.
#include "config/settings.h"
#include "link/frame.h"
#include "link/spicommand.h"
#include "link/spiconnector.h"
#include "shield/spiparsers.h"
#include "shield/watchdrop.h"
#include "support/consolecapture.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <vector>

namespace {

std::array<SPIconnector *, 6> addressesOf(std::array<SPIconnector, 6> &links)
{
    std::array<SPIconnector *, 6> pointers{};
    for (size_t i = 0; i < links.size(); ++i)
        pointers[i] = &links[i];
    return pointers;
}

class Parsers : public ::testing::Test
{
protected:
    Parsers()
    {
        // Every signal goes into one log, stamped with the number of lines written before it,
        // so that tests see the order of signals and lines.
        QObject::connect(&parsers, &SPIparsers::play_sound, [this](bool value, quint8 shield) {
            log << QStringLiteral("play %1 %2 @%3")
                       .arg(value ? "on" : "off")
                       .arg(shield)
                       .arg(capture.out().size());
        });
        QObject::connect(&parsers, &SPIparsers::emergency_restart, [this] {
            log << QStringLiteral("restart @%1").arg(capture.out().size());
        });
        QObject::connect(&parsers, &SPIparsers::udp_write, [this](quint8 shield, QByteArray data) {
            udp.push_back({shield, data});
        });
    }

    void reply(quint8 shield, const QByteArray &frame)
    {
        parsers.parser_command(shield, frame, &links[shield]);
    }
    void event(quint8 shield, const QByteArray &frame)
    {
        parsers.parser_event(shield, frame, &links[shield]);
    }
    ShieldState &record(quint8 shield) { return settings.shieldState[shield]; }

    ConsoleCapture capture;
    Settings settings;
    std::array<SPIconnector, 6> links;
    // Filled before the command builder copies them.
    std::array<SPIconnector *, 6> pointers = addressesOf(links);
    SPIcommand command{pointers.data(), &settings};
    SPIparsers parsers{&settings, nullptr, &command};
    QStringList log;
    std::vector<std::pair<quint8, QByteArray>> udp;
};

using Flag = std::atomic<bool> ShieldState::*;
const std::vector<Flag> identityFlags = {
    &ShieldState::firmwareResponse, &ShieldState::shieldResponse, &ShieldState::intercomResponse,
    &ShieldState::id0Response,      &ShieldState::id1Response,    &ShieldState::id2Response,
};

TEST_F(Parsers, IdentityRepliesStoreValuesAndRaiseOnlyTheirOwnFlag)
{
    struct Case {
        const char *name;
        QByteArray frame;
        Flag flag;
        std::function<void(const ShieldState &)> check;
    };
    const std::vector<Case> cases = {
        {"firmware", Frame::compose(0x01, 0x00, 0x01, 0x00, 0x17), &ShieldState::firmwareResponse,
         [](const ShieldState &r) {
             EXPECT_EQ(r.getBeta(), 1);
             EXPECT_EQ(r.getFirmware(), 23);
         }},
        {"shield", Frame::compose(0x02, 0x00, 0x03, 0x00, 0x0C), &ShieldState::shieldResponse,
         [](const ShieldState &r) {
             EXPECT_EQ(r.getRevision(), 3);
             EXPECT_EQ(r.getShield(), 12);
         }},
        {"intercom", Frame::compose(0x03, 0x11, 0x22, 0x33, 0x88), &ShieldState::intercomResponse,
         [](const ShieldState &r) { EXPECT_EQ(r.getIntercom(), 0x88); }},
        {"id0", Frame::compose(0x04, 0x00, 0x01, 0x00, 0x2C), &ShieldState::id0Response,
         [](const ShieldState &r) { EXPECT_EQ(r.getId_0(), 65580u); }},
        {"id1", Frame::compose(0x05, 0x12, 0x34, 0x56, 0x78), &ShieldState::id1Response,
         [](const ShieldState &r) { EXPECT_EQ(r.getId_1(), 0x12345678u); }},
        {"id2", Frame::compose(0x06, 0xFE, 0xDC, 0xBA, 0x98), &ShieldState::id2Response,
         [](const ShieldState &r) { EXPECT_EQ(r.getId_2(), 0xFEDCBA98u); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        for (quint8 s = 0; s < 6; ++s)
            record(s).to_null();
        reply(2, c.frame);
        c.check(record(2));
        for (Flag f : identityFlags) {
            EXPECT_EQ((record(2).*f).load(), f == c.flag);
            EXPECT_FALSE((record(1).*f).load()) << "another shield's record was written";
        }
    }
    EXPECT_TRUE(capture.out().isEmpty());
    EXPECT_TRUE(log.isEmpty());
}

TEST_F(Parsers, ListWordAcknowledgementsRaiseTheirListsFlag)
{
    record(1).virtualListAck = false;
    record(1).blackListAck = false;
    reply(1, Frame::compose(0x32, 0, 5, 0xAA, 0x55));
    EXPECT_TRUE(record(1).virtualListAck);
    EXPECT_FALSE(record(1).blackListAck);
    reply(1, Frame::compose(0x33, 0, 5, 0xAA, 0x55));
    EXPECT_TRUE(record(1).blackListAck);
}

TEST_F(Parsers, BusyRepliesToDialAndPhoneDetection)
{
    struct Case {
        bool multi;
        quint8 shield;
        QByteArray frame;
        QStringList lines;
    };
    const std::vector<Case> cases = {
        {false, 0, Frame::compose(0x13, 0x00, 0x00, 0xFF, 0xFF), {"busy"}},
        {true, 4, Frame::compose(0x13, 0x00, 0x00, 0xFF, 0xFF), {"4 busy"}},
        {false, 0, Frame::compose(0x14, 0x00, 0x00, 0xFF, 0xFF), {"busy"}},
        {false, 0, Frame::compose(0x13, 0x00, 0x00, 0xFF, 0xFE), {}},
        {false, 0, Frame::compose(0x13, 0xFF, 0xFF, 0x00, 0x00), {}},
        {false, 0, Frame::compose(0x13, 0x01, 0x00, 0xFF, 0xFF), {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(Frame::u32At2(c.frame));
        capture.clear();
        settings.multiShield = c.multi;
        reply(c.shield, c.frame);
        EXPECT_EQ(capture.out(), c.lines);
    }
}

TEST_F(Parsers, AudioReplySwitchesPlaybackByTheReportedState)
{
    links[3].long_packet_repeats = 2;
    reply(3, Frame::compose(0x40, 0, 0, 0, 2));
    EXPECT_EQ(links[3].long_packet_repeats, 0);
    links[3].long_packet_repeats = 1;
    reply(3, Frame::compose(0x40, 0, 0, 0, 0));
    EXPECT_EQ(links[3].long_packet_repeats, 0);
    EXPECT_EQ(log, QStringList({"play on 3 @0", "play off 3 @0"}));
    EXPECT_TRUE(capture.out().isEmpty());
}

TEST_F(Parsers, FirstPingReplyStopsOnlyThatShieldsDropWatchdog)
{
    event(1, Frame::compose(0x80, 0, 0, 0, 1));
    event(2, Frame::compose(0x80, 0, 0, 0, 2));
    ASSERT_TRUE(parsers.getWatchDrop(2)->isActive());
    reply(2, Frame::compose(0x60, 0, 0, 0, 0));
    EXPECT_FALSE(parsers.getWatchDrop(2)->isActive());
    EXPECT_TRUE(parsers.getWatchDrop(1)->isActive());
    EXPECT_TRUE(record(2).ping1Response);
    EXPECT_FALSE(record(1).ping1Response);
}

TEST_F(Parsers, SecondPingReplyReportsAndClearsLostInitialization)
{
    record(0).ping2Response = false;
    reply(0, Frame::compose(0x61, 0x5A, 0, 0x5A, 0xFF));
    EXPECT_TRUE(record(0).ping2Response);
    EXPECT_TRUE(record(0).lostInit);
    EXPECT_EQ(capture.out(), QStringList({"0 WARNING: SPI: Shield lost initialization"}));

    capture.clear();
    record(0).ping2Response = false;
    reply(0, Frame::compose(0x61, 0x5A, 0, 0x5A, 0x00));
    EXPECT_TRUE(record(0).ping2Response);
    EXPECT_FALSE(record(0).lostInit);
    EXPECT_TRUE(capture.out().isEmpty());

    settings.multiShield = true;
    reply(3, Frame::compose(0x61, 0, 0, 0, 0xFF));
    EXPECT_EQ(capture.out(), QStringList({"3 WARNING: SPI: Shield lost initialization"}));
}

TEST_F(Parsers, RepliesWithoutMeaningChangeNothing)
{
    for (quint8 code : {0x11, 0x12, 0x20, 0x31, 0x50, 0x62, 0x7F}) {
        SCOPED_TRACE(code);
        reply(0, Frame::compose(code, 0xFF, 0xFF, 0xFF, 0xFF));
    }
    for (Flag f : identityFlags)
        EXPECT_FALSE((record(0).*f).load());
    EXPECT_FALSE(record(0).ping1Response);
    EXPECT_FALSE(record(0).lostInit);
    EXPECT_EQ(record(0).getFirmware(), 0);
    EXPECT_EQ(record(0).getId_0(), 0u);
    EXPECT_TRUE(capture.out().isEmpty());
    EXPECT_TRUE(log.isEmpty());
    EXPECT_TRUE(links[0].command_queue->isEmpty());
}

TEST_F(Parsers, ErrorLines)
{
    struct Case {
        bool multi;
        quint8 shield;
        quint32 code;
        const char *line;
    };
    const std::vector<Case> cases = {
        {true, 5, 0x101, "#ERROR 5: Hang loop read dial"},
        {false, 0, 0x102, "#ERROR: Hang loop call"},
        {false, 0, 0x103, "#ERROR: Hang loop pickup"},
        {true, 2, 0x104, "#ERROR 2: Hang loop wait drop"},
        {false, 0, 0x105, "#ERROR: Hang loop phone switch"},
        {false, 0, 0x106, "#ERROR: Hang loop open"},
        {false, 0, 0x110, "#ERROR: Hang loop unknown"},
        {false, 0, 1000, "#ERROR: Uncnown code: 0x3e8"},
        {false, 0, 0x111, "#ERROR: Uncnown code: 0x111"},
        {true, 1, 0x10000101, "#ERROR 1: Uncnown code: 0x10000101"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        capture.clear();
        settings.multiShield = c.multi;
        parsers.parser_error(c.code, c.shield);
        EXPECT_EQ(capture.out(), QStringList({c.line}));
    }
}

TEST_F(Parsers, EventLines)
{
    struct Case {
        bool multi;
        bool gate;
        quint8 shield;
        QByteArray frame;
        QStringList lines;
    };
    const std::vector<Case> cases = {
        {false, false, 0, Frame::compose(0x80, 0x00, 0x00, 0x01, 0x2C), {"dial 300"}},
        {false, true, 0, Frame::compose(0x80, 0x00, 0x07, 0x01, 0x2C), {"dial 300 7"}},
        {true, true, 2, Frame::compose(0x80, 0x00, 0x01, 0x01, 0x2C), {"2 dial 300 1"}},
        {true, false, 2, Frame::compose(0x80, 0x09, 0x01, 0x01, 0x2C), {"2 dial 300"}},
        {false, false, 0, Frame::compose(0x86, 0x00, 0x00, 0xFF, 0xFF), {"keyopen 65535"}},
        {false, true, 0, Frame::compose(0x86, 0x00, 0x07, 0xFF, 0xFF), {"keyopen 65535 7"}},
        {true, false, 1, Frame::compose(0x86, 0x00, 0x07, 0x12, 0x34), {"1 keyopen 4660"}},
        {false, false, 0, Frame::compose(0x81, 0, 0, 0, 0), {"pickup"}},
        {true, false, 3, Frame::compose(0x81, 0, 0, 0, 0), {"3 pickup"}},
        {false, false, 0, Frame::compose(0x82, 0, 0, 0, 1), {"open"}},
        // A hang-up ends the call a row above opened; one of no call the host knew of, or of
        // one it already heard the end of, tells nothing.
        {false, false, 0, Frame::compose(0x83, 0, 0, 0, 0), {"drop"}},
        {true, false, 3, Frame::compose(0x83, 0, 0, 0, 0), {"3 drop"}},
        {true, false, 3, Frame::compose(0x83, 0, 0, 0, 0), {}},
        {true, false, 5, Frame::compose(0x83, 0, 0, 0, 0), {}},
        {false, false, 0, Frame::compose(0x84, 0, 0, 0, 0), {"phone notfound"}},
        {false, false, 0, Frame::compose(0x84, 0, 0, 0, 1), {"phone detected"}},
        {false, false, 0, Frame::compose(0x84, 0, 0, 0, 2), {"phone short"}},
        {false, false, 0, Frame::compose(0x84, 0, 0, 0, 3), {"phone shortline"}},
        {false, false, 0, Frame::compose(0x84, 0, 0, 0, 4), {"phone pickup"}},
        {false, false, 0, Frame::compose(0x84, 0, 0, 0, 5), {"phone notfound"}},
        {false, false, 0, Frame::compose(0xE1, 0x00, 0x00, 0x01, 0x02), {"#ERROR: Hang loop call"}},
        {true,
         false,
         1,
         Frame::compose(0xE1, 0x00, 0x00, 0x03, 0xE8),
         {"#ERROR 1: Uncnown code: 0x3e8"}},
        {false, false, 0, Frame::compose(0xE2, 0x44, 0x43, 0x42, 0x41), {"#DEBUG: ABCD"}},
        {false, false, 0, Frame::compose(0xE2, 0x00, 0x00, 0x42, 0x41), {"#DEBUG: AB"}},
        {false, false, 0, Frame::compose(0xE2, 0x41, 0x00, 0x42, 0x43), {"#DEBUG: CB"}},
        {false, false, 0, Frame::compose(0xE2, 0x41, 0x42, 0x43, 0x00), {"#DEBUG: "}},
        // Control bytes from the shield never split or end a host line.
        {false, false, 0, Frame::compose(0xE2, 0x42, 0x0D, 0x0A, 0x41), {"#DEBUG: A??B"}},
        {true, false, 4, Frame::compose(0xE2, 0x44, 0x43, 0x42, 0x41), {"#DEBUG 4: ABCD"}},
        {false, false, 0, Frame::compose(0xE3, 0xFF, 0xFF, 0xFF, 0xFF), {"#DEBUG: 4294967295"}},
        {false, false, 0, Frame::compose(0xE3, 0x00, 0x00, 0x03, 0xE8), {"#DEBUG: 1000"}},
        {false, false, 0, Frame::compose(0x87, 0, 0, 0, 1), {}},
        {false, false, 0, Frame::compose(0xE4, 0, 0, 0, 1), {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.lines.value(0, QStringLiteral("(no line)")).toStdString() + " from code " +
                     std::to_string(Frame::code(c.frame)));
        capture.clear();
        settings.multiShield = c.multi;
        record(c.shield).setFlagAdrGate(c.gate);
        event(c.shield, c.frame);
        EXPECT_EQ(capture.out(), c.lines);
    }
    EXPECT_TRUE(log.isEmpty());
}

TEST_F(Parsers, DialArmsTheDialledShieldsDropWatchdogAndKeyDoesNot)
{
    event(4, Frame::compose(0x86, 0, 0, 0, 1));
    for (quint8 s = 0; s < 6; ++s)
        EXPECT_FALSE(parsers.getWatchDrop(s)->isActive());
    event(4, Frame::compose(0x80, 0, 0, 0, 1));
    for (quint8 s = 0; s < 6; ++s)
        EXPECT_EQ(parsers.getWatchDrop(s)->isActive(), s == 4);
    event(4, Frame::compose(0x83, 0, 0, 0, 0));
    EXPECT_FALSE(parsers.getWatchDrop(4)->isActive());
}

TEST_F(Parsers, LoopBackEventReturnsTheSameValue)
{
    event(3, Frame::compose(0xE0, 0x01, 0x02, 0x03, 0x04));
    ASSERT_EQ(links[3].command_queue->size(), 1);
    EXPECT_EQ(links[3].command_queue->list.first(), Frame::compose(0x50, 0x01, 0x02, 0x03, 0x04));
    for (quint8 s = 0; s < 6; ++s)
        EXPECT_EQ(links[s].command_queue->size(), s == 3 ? 1 : 0);
    EXPECT_TRUE(capture.out().isEmpty());
}

TEST_F(Parsers, DropStopsAudioBeforeTheHostHearsOfIt)
{
    // The queue length as each line is written shows whether the command came first.
    QStringList seen;
    Console::out.setSink([&](const QByteArray &bytes) {
        seen << QString::fromUtf8(bytes).trimmed() +
                    QStringLiteral(" @%1").arg(links[1].command_queue->size());
    });
    links[1].set_long_packet(true);
    event(1, Frame::compose(0x81, 0, 0, 0, 0));
    event(1, Frame::compose(0x83, 0, 0, 0, 0));
    links[1].set_long_packet(false);
    event(1, Frame::compose(0x81, 0, 0, 0, 0));
    event(1, Frame::compose(0x83, 0, 0, 0, 0));
    Console::out.setSink(nullptr);

    EXPECT_EQ(seen, QStringList({"pickup @0", "drop @1", "pickup @1", "drop @1"}));
    ASSERT_EQ(links[1].command_queue->size(), 1);
    EXPECT_EQ(links[1].command_queue->list.first(), Frame::compose(0x40, 0, 0, 0, 0));
}

TEST_F(Parsers, PickupWithAudioStartsPlaybackBeforeItsLine)
{
    settings.multiShield = true;
    event(2, Frame::compose(0x85, 0, 0, 0, 0));
    EXPECT_EQ(log, QStringList({"play on 2 @0"}));
    EXPECT_EQ(capture.out(), QStringList({"2 pickup"}));
}

TEST_F(Parsers, AudioIsTheBlockBetweenControlPartAndTrailer)
{
    QByteArray packet(Frame::longSize, '\0');
    for (int i = 0; i < packet.size(); ++i)
        packet[i] = static_cast<char>(i % 256);
    parsers.parser_audio(3, packet);
    ASSERT_EQ(udp.size(), 1u);
    EXPECT_EQ(udp[0].first, 3);
    EXPECT_EQ(udp[0].second, packet.mid(8, 512));

    parsers.parser_audio(0, Frame::compose(0x80, 0, 0, 0, 1));
    EXPECT_EQ(udp.size(), 1u) << "a short frame carries no audio";
}

TEST_F(Parsers, EmergencyDropWithOneShield)
{
    // The single shield is reported whatever its state says.
    record(0).setState(ShieldState::STATE_OFFLINE);
    parsers.emergency_drop();
    EXPECT_EQ(capture.out(), QStringList({"#ERROR: Drop not detect. Emergency restart.", "drop"}));
    EXPECT_EQ(log, QStringList({"play off 0 @2", "restart @2"}));
}

TEST_F(Parsers, EmergencyDropWithSeveralShieldsReportsOnlyOnlineOnes)
{
    settings.multiShield = true;
    record(1).setState(ShieldState::STATE_ONLINE);
    record(2).setState(ShieldState::STATE_INIT);
    record(4).setState(ShieldState::STATE_ONLINE);
    event(1, Frame::compose(0x80, 0, 0, 0, 1));
    event(4, Frame::compose(0x80, 0, 0, 0, 1));
    capture.clear();

    parsers.emergency_drop();
    EXPECT_EQ(capture.out(),
              QStringList({"#ERROR: Drop not detect. Emergency restart.", "1 drop", "4 drop"}));
    EXPECT_EQ(log, QStringList({"play off 1 @2", "play off 4 @3", "restart @3"}));
    EXPECT_FALSE(parsers.getWatchDrop(1)->isActive());
    EXPECT_FALSE(parsers.getWatchDrop(4)->isActive());
}

TEST_F(Parsers, AddressesBeyondTheLastShieldAreIgnored)
{
    parsers.parser_command(6, Frame::compose(0x60, 0, 0, 0, 0), &links[0]);
    parsers.parser_event(6, Frame::compose(0x80, 0, 0, 0, 1), &links[0]);
    EXPECT_TRUE(capture.out().isEmpty());
    EXPECT_EQ(parsers.getWatchDrop(6), nullptr);
}

}  // namespace
