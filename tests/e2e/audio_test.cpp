// Call audio between the host and shield-sim through the driver: the shield's tone arrives as
// 512-byte datagrams on the shield's host port, the host's datagrams reach the shield (played
// back by the simulator's loop-back) in order and once each, and a drop stops both ways.
// The driver's UDP ports are fixed, so every pair here holds the machine-wide audio-port lock.

#include "support/e2eprocess.h"

#include "sim/shieldmodel.h"

#include <QUdpSocket>

#include <gtest/gtest.h>

namespace {

constexpr int blockSize = 512;

bool isSilence(const QByteArray &block)
{
    for (int i = 0; i + 1 < block.size(); i += 2) {
        const auto low = static_cast<quint8>(block.at(i));
        const auto high = static_cast<quint8>(block.at(i + 1));
        if (low != 0xFF || high != 0x7F)
            return false;
    }
    return true;
}

QList<QByteArray> tagged(const QList<QByteArray> &datagrams, const char tag[4], int from)
{
    QList<QByteArray> found;
    for (int i = from; i < datagrams.size(); ++i) {
        if (datagrams.at(i).startsWith(QByteArray(tag, 4)))
            found << datagrams.at(i);
    }
    return found;
}

struct CallSetup {
    QStringList simArgs;
    QStringList driverArgs;
    int shield;
    QString hostPrefix;  // the shield address written before a host command
};

// One call on a shield that is online: tone to the host, host blocks to the shield and back,
// then a drop. `first` numbers the host blocks of this call.
void checkCall(E2ePair &pair, AudioHost &host, const CallSetup &setup, quint32 first, int count)
{
    const int s = setup.shield;
    pair.sim().writeLine(QStringLiteral("loopback %1 off").arg(s));
    int simFrom = pair.sim().lineCount();
    int got = host.got.size();
    pair.driver().writeLine(setup.hostPrefix + QStringLiteral("pickup"));
    ASSERT_TRUE(pair.waitExecuted(s, QStringLiteral("audio on"), simFrom)) << pair.describe();

    // The shield's tone, block after block; only the first datagram of a call is the driver's
    // own silence (sent in the cycle that switched the link to audio packets).
    ASSERT_TRUE(E2eProcess::waitUntil([&] { return host.got.size() >= got + 30; }))
        << pair.describe();
    const QByteArray tone = ShieldModel::toneBlock(0);
    QList<int> notTone;
    for (int i = got; i < host.got.size(); ++i) {
        ASSERT_EQ(host.got.at(i).size(), blockSize) << "datagram " << i - got;
        if (host.got.at(i) != tone && !(i == got && isSilence(host.got.at(i))))
            notTone << i - got;
    }
    EXPECT_EQ(notTone, QList<int>()) << "datagrams that are not the tone, of "
                                     << host.got.size() - got;
    EXPECT_TRUE(E2eProcess::waitUntil([&] { return host.driverListens(); })) << pair.describe();

    // The host's audio: the simulator plays each block it receives straight back, so what the
    // driver carried to the shield shows up among the datagrams to the host.
    pair.sim().writeLine(QStringLiteral("loopback %1 on").arg(s));
    const char warm[4] = {'W', 'A', 'R', 'M'};
    const char numbered[4] = {'E', '2', 'E', 'B'};
    quint32 warmUps = 0;
    ASSERT_TRUE(E2eProcess::waitUntil([&] {
        host.send(numberedBlock(warm, warmUps++));
        E2eProcess::pump(50);
        return !tagged(host.got, warm, got).isEmpty();
    })) << pair.describe();
    got = host.got.size();
    for (quint32 n = first; n < first + static_cast<quint32>(count); ++n) {
        host.send(numberedBlock(numbered, n));
        E2eProcess::pump(16);  // about the pace at which the driver passes blocks on
    }
    const quint32 last = first + static_cast<quint32>(count) - 1;
    EXPECT_TRUE(E2eProcess::waitUntil([&] {
        const QList<QByteArray> back = tagged(host.got, numbered, got);
        return !back.isEmpty() && numberOf(back.last()) == last;
    })) << pair.describe();
    const QList<QByteArray> back = tagged(host.got, numbered, got);
    QList<quint32> numbers;
    for (const QByteArray &b : back) {
        numbers << numberOf(b);
        EXPECT_EQ(b, numberedBlock(numbered, numberOf(b))) << "block " << numberOf(b);
    }
    QList<quint32> sent;
    for (quint32 n = first; n <= last; ++n)
        sent << n;
    EXPECT_EQ(numbers, sent);

    // A drop ends the call: no more audio to the host, and the driver's port is free again.
    simFrom = pair.sim().lineCount();
    pair.driver().writeLine(setup.hostPrefix + QStringLiteral("drop"));
    ASSERT_TRUE(pair.waitExecuted(s, QStringLiteral("drop"), simFrom)) << pair.describe();
    EXPECT_EQ(pair.executed(s, simFrom),
              (QStringList{QStringLiteral("audio off"), QStringLiteral("drop")}));
    E2eProcess::pump(500);  // datagrams already on their way
    got = host.got.size();
    E2eProcess::pump(1500);
    EXPECT_EQ(host.got.size(), got) << "datagrams after the drop";
    EXPECT_FALSE(host.driverListens());
}

void runCalls(const CallSetup &setup)
{
    E2ePair pair(setup.simArgs, setup.driverArgs, true);
    ASSERT_TRUE(pair.started()) << pair.describe();
    const QString pushed = setup.hostPrefix.isEmpty()
                               ? QStringLiteral("#Shield update black list")
                               : QStringLiteral("#Shield %1 update black list").arg(setup.shield);
    ASSERT_GE(pair.driver().waitForLine(pushed), 0) << pair.describe();

    const quint16 fromDriverPort = static_cast<quint16>(20002 + 2 * setup.shield);
    AudioHost host(fromDriverPort);
    ASSERT_TRUE(host.listening) << "port " << fromDriverPort << " is taken";
    // No other shield's port carries anything during these calls.
    std::unique_ptr<AudioHost> shield0;
    if (setup.shield != 0) {
        shield0.reset(new AudioHost(20002));
        ASSERT_TRUE(shield0->listening);
    }
    EXPECT_FALSE(host.driverListens()) << "the driver listens before any call";

    {
        SCOPED_TRACE("first call");
        checkCall(pair, host, setup, 0, 40);
    }
    {
        SCOPED_TRACE("second call");
        checkCall(pair, host, setup, 1000, 10);
    }
    if (shield0) {
        EXPECT_EQ(shield0->got.size(), 0);
    }
    EXPECT_EQ(pair.driver().errBesidesOverruns(), QString()) << pair.describe();
}

}  // namespace

TEST(E2eAudio, SingleShieldCallsBothWays)
{
    runCalls({{QStringLiteral("--shields"), QStringLiteral("0"), QStringLiteral("--single")},
              {QStringLiteral("-ic"), QStringLiteral("10")},
              0,
              QString()});
}

TEST(E2eAudio, ShieldTwoUsesItsOwnPortPair)
{
    runCalls({{QStringLiteral("--shields"), QStringLiteral("0,2"), QStringLiteral("--multishield")},
              {QStringLiteral("-multishield"), QStringLiteral("-ic"), QStringLiteral("10")},
              2,
              QStringLiteral("2 ")});
}
