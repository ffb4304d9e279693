// The shield record: console modes and the lists, state changes, the push request, the
// identity handshake, the reset, and where an apartment sits in a list.

#include "config/shieldstate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <vector>

namespace {

using S = ShieldState;

// A record as the settings make it: reset, offline, both lists empty.
void makeFresh(S &r)
{
    r.to_null();
    r.setState(S::STATE_OFFLINE);
    for (int w = 0; w < 32; ++w) {
        r.virtualList[w] = 0;
        r.blackList[w] = 0;
    }
}

bool listEmpty(const S::ApartmentList &list)
{
    return std::all_of(list.begin(), list.end(),
                       [](const std::atomic<quint32> &w) { return w.load() == 0; });
}

void setIdentityFlags(S &r, bool value)
{
    r.firmwareResponse = value;
    r.shieldResponse = value;
    r.id0Response = value;
    r.id1Response = value;
    r.id2Response = value;
    r.intercomResponse = value;
}

// ---------------------------------------------------------------------------------------------
// Console reading modes: entering a list mode empties that list only.

struct ModeCase {
    const char *name;
    S::ConsoleModeRead_em mode;
    bool virtualEmptied;
    bool blackEmptied;
};

class ConsoleMode : public ::testing::TestWithParam<ModeCase> {};

TEST_P(ConsoleMode, EmptiesOnlyTheListAboutToBeRead)
{
    const ModeCase &c = GetParam();
    S r;
    makeFresh(r);
    S::addApartment(r.virtualList, 300);
    S::addApartment(r.blackList, 5);
    r.setConsoleModeRead(c.mode);
    EXPECT_EQ(r.getConsoleModeRead(), c.mode);
    EXPECT_EQ(listEmpty(r.virtualList), c.virtualEmptied);
    EXPECT_EQ(listEmpty(r.blackList), c.blackEmptied);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, ConsoleMode,
    ::testing::Values(ModeCase{"Command", S::MODE_READ_COMMAND, false, false},
                      ModeCase{"VirtualList", S::MODE_READ_VIRTUAL_LIST, true, false},
                      ModeCase{"BlackList", S::MODE_READ_BLACK_LIST, false, true}),
    [](const ::testing::TestParamInfo<ModeCase> &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// State changes, from the middle of a list read with a push pending.

struct StateCase {
    const char *name;
    S::State to;
    S::ConsoleModeRead_em modeAfter;
    bool pushAfter;
};

class SetState : public ::testing::TestWithParam<StateCase> {};

TEST_P(SetState, StepModeAndPushRequest)
{
    const StateCase &c = GetParam();
    for (S::State from : {S::STATE_OFFLINE, S::STATE_INIT, S::STATE_ONLINE}) {
        SCOPED_TRACE(from);
        S r;
        makeFresh(r);
        r.setState(from);
        S::addApartment(r.blackList, 1000);
        r.setConsoleModeRead(S::MODE_READ_VIRTUAL_LIST);
        S::addApartment(r.virtualList, 17);
        r.asyncSendDialplan();
        r.step = 2;
        r.tickCount = 77;

        r.setState(c.to);

        EXPECT_EQ(r.getState(), c.to);
        EXPECT_EQ(r.step, 0);
        EXPECT_EQ(r.tickCount, 0);
        EXPECT_EQ(r.getConsoleModeRead(), c.modeAfter);
        EXPECT_EQ(r.isSendDialplan(), c.pushAfter);
        // The lists keep what was read so far.
        EXPECT_EQ(r.virtualList[0], quint32(1) << 17);
        EXPECT_EQ(r.blackList[31], quint32(1) << (1000 % 32));
    }
}

INSTANTIATE_TEST_SUITE_P(
    States, SetState,
    ::testing::Values(StateCase{"Offline", S::STATE_OFFLINE, S::MODE_READ_COMMAND, false},
                      StateCase{"Init", S::STATE_INIT, S::MODE_READ_VIRTUAL_LIST, true},
                      StateCase{"Online", S::STATE_ONLINE, S::MODE_READ_VIRTUAL_LIST, true}),
    [](const ::testing::TestParamInfo<StateCase> &info) { return std::string(info.param.name); });

TEST(ShieldState, PushRequestTakenOnce)
{
    S r;
    makeFresh(r);
    EXPECT_FALSE(r.isSendDialplan());
    r.asyncSendDialplan();
    EXPECT_TRUE(r.isSendDialplan());
    EXPECT_FALSE(r.isSendDialplan());
    // Two requests before one is taken merge into one.
    r.asyncSendDialplan();
    r.asyncSendDialplan();
    EXPECT_TRUE(r.isSendDialplan());
    EXPECT_FALSE(r.isSendDialplan());
}

TEST(ShieldState, FreshRecord)
{
    S r;
    makeFresh(r);
    EXPECT_EQ(r.getState(), S::STATE_OFFLINE);
    EXPECT_EQ(r.getConsoleModeRead(), S::MODE_READ_COMMAND);
    EXPECT_EQ(r.step, 0);
    EXPECT_EQ(r.tickCount, 0);
    EXPECT_FALSE(r.getFlagAdrGate());
    EXPECT_EQ(r.getIntercom(), 0);
    EXPECT_FALSE(r.isSendDialplan());
    EXPECT_TRUE(listEmpty(r.virtualList));
    EXPECT_TRUE(listEmpty(r.blackList));
}

// ---------------------------------------------------------------------------------------------
// The identity handshake.

TEST(ShieldState, ResetFlagsMeanNothingOutstanding)
{
    S r;
    r.ping1Response = true;
    r.ping2Response = false;
    r.lostInit = true;
    r.virtualListAck = false;
    r.blackListAck = false;
    setIdentityFlags(r, true);
    r.resetAllStateResponseFlag();
    EXPECT_FALSE(r.ping1Response);
    EXPECT_TRUE(r.ping2Response);
    EXPECT_FALSE(r.lostInit);
    EXPECT_TRUE(r.virtualListAck);
    EXPECT_TRUE(r.blackListAck);
    EXPECT_FALSE(r.firmwareResponse || r.shieldResponse || r.id0Response || r.id1Response ||
                 r.id2Response || r.intercomResponse);
}

TEST(ShieldState, AllIdentityFlagsInAnyOrder)
{
    using Flag = std::atomic<bool> S::*;
    std::vector<Flag> flags{&S::firmwareResponse, &S::shieldResponse, &S::id0Response,
                            &S::id1Response,      &S::id2Response,    &S::intercomResponse};
    std::vector<int> order{0, 1, 2, 3, 4, 5};
    int orders = 0;
    do {
        S r;
        r.to_null();
        ASSERT_FALSE(r.hasAllStateResponseFlag());
        for (size_t i = 0; i < order.size(); ++i) {
            ASSERT_FALSE(r.hasAllStateResponseFlag()) << "order " << orders << " after " << i;
            (r.*flags[static_cast<size_t>(order[i])]) = true;
        }
        ASSERT_TRUE(r.hasAllStateResponseFlag()) << "order " << orders;
        ++orders;
    } while (std::next_permutation(order.begin(), order.end()));
    EXPECT_EQ(orders, 720);
}

TEST(ShieldState, PingAndListFlagsDoNotCount)
{
    S r;
    setIdentityFlags(r, true);
    r.ping1Response = false;
    r.ping2Response = false;
    r.lostInit = true;
    r.virtualListAck = false;
    r.blackListAck = false;
    EXPECT_TRUE(r.hasAllStateResponseFlag());

    setIdentityFlags(r, false);
    r.ping1Response = true;
    r.ping2Response = true;
    r.virtualListAck = true;
    r.blackListAck = true;
    EXPECT_FALSE(r.hasAllStateResponseFlag());
}

TEST(ShieldState, ToNullClearsIdentityOnly)
{
    S r;
    makeFresh(r);
    r.setFirmware(0x0102);
    r.setBeta(3);
    r.setShield(4);
    r.setRevision(5);
    r.setId_0(0xDEADBEEF);
    r.setId_1(0x01234567);
    r.setId_2(0x89ABCDEF);
    r.setIntercom(136);
    r.setFlagAdrGate(true);
    r.setState(S::STATE_ONLINE);
    r.setConsoleModeRead(S::MODE_READ_BLACK_LIST);
    S::addApartment(r.virtualList, 1);
    S::addApartment(r.blackList, 1023);
    r.asyncSendDialplan();
    r.step = 1;
    r.tickCount = 9;
    setIdentityFlags(r, true);

    r.to_null();

    EXPECT_EQ(r.getFirmware(), 0);
    EXPECT_EQ(r.getBeta(), 0);
    EXPECT_EQ(r.getShield(), 0);
    EXPECT_EQ(r.getRevision(), 0);
    EXPECT_EQ(r.getId_0(), 0u);
    EXPECT_EQ(r.getId_1(), 0u);
    EXPECT_EQ(r.getId_2(), 0u);
    EXPECT_FALSE(r.hasAllStateResponseFlag());

    EXPECT_EQ(r.getIntercom(), 136);
    EXPECT_TRUE(r.getFlagAdrGate());
    EXPECT_EQ(r.getState(), S::STATE_ONLINE);
    EXPECT_EQ(r.getConsoleModeRead(), S::MODE_READ_BLACK_LIST);
    EXPECT_EQ(r.step, 1);
    EXPECT_EQ(r.tickCount, 9);
    EXPECT_EQ(r.virtualList[0], 2u);
    EXPECT_EQ(r.blackList[31], 0x80000000u);
    EXPECT_TRUE(r.isSendDialplan());
}

// ---------------------------------------------------------------------------------------------
// Where an apartment sits: bit n % 32 of 32-bit word n / 32, bit n % 16 of 16-bit word n / 16.

struct BitCase {
    int apartment;
    int word32;
    int bit32;
    int word16;
    int bit16;
};

class ApartmentBit : public ::testing::TestWithParam<BitCase> {};

TEST_P(ApartmentBit, OneBitInBothForms)
{
    const BitCase &c = GetParam();
    S r;
    makeFresh(r);
    S::addApartment(r.virtualList, static_cast<quint16>(c.apartment));
    for (int w = 0; w < 32; ++w)
        EXPECT_EQ(r.virtualList[w], w == c.word32 ? quint32(1) << c.bit32 : 0u) << "word " << w;
    for (int k = 0; k < S::listWords16; ++k)
        EXPECT_EQ(S::listWord16(r.virtualList, k), k == c.word16 ? quint16(1u << c.bit16) : 0)
            << "16-bit word " << k;
    EXPECT_TRUE(listEmpty(r.blackList));
}

INSTANTIATE_TEST_SUITE_P(Apartments, ApartmentBit,
                         ::testing::Values(BitCase{0, 0, 0, 0, 0}, BitCase{15, 0, 15, 0, 15},
                                           BitCase{16, 0, 16, 1, 0}, BitCase{31, 0, 31, 1, 15},
                                           BitCase{32, 1, 0, 2, 0}, BitCase{300, 9, 12, 18, 12},
                                           BitCase{1008, 31, 16, 63, 0},
                                           BitCase{1023, 31, 31, 63, 15}),
                         [](const ::testing::TestParamInfo<BitCase> &info) {
                             return "Apartment" + std::to_string(info.param.apartment);
                         });

TEST(ShieldState, AddApartmentKeepsOthersAndIgnoresTooLarge)
{
    S r;
    makeFresh(r);
    S::addApartment(r.blackList, 3);
    S::addApartment(r.blackList, 4);
    S::addApartment(r.blackList, 3);
    EXPECT_EQ(r.blackList[0], 0x18u);
    S::addApartment(r.blackList, 1024);
    S::addApartment(r.blackList, 2047);
    S::addApartment(r.blackList, 65535);
    EXPECT_EQ(r.blackList[0], 0x18u);
    for (int w = 1; w < 32; ++w)
        EXPECT_EQ(r.blackList[w], 0u);
}

TEST(ShieldState, FullListEveryPushedWordFull)
{
    S r;
    makeFresh(r);
    for (int n = 0; n <= 1023; ++n)
        S::addApartment(r.virtualList, static_cast<quint16>(n));
    for (int k = 0; k < S::listWords16; ++k)
        EXPECT_EQ(S::listWord16(r.virtualList, k), 0xFFFF) << k;
}

}  // namespace
