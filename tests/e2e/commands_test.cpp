// Host commands through the driver to shield-sim: each command line reaches the shield once and
// in order, also over a link that damages frames; busy replies and the apartment-list loading
// as the host sees them.

#include "support/e2eprocess.h"

#include <gtest/gtest.h>


namespace {

const QStringList singleSim = {QStringLiteral("--shields"), QStringLiteral("0"),
                               QStringLiteral("--single")};
const QStringList singleDriver = {QStringLiteral("-ic"), QStringLiteral("10")};

struct CommandCase {
    QString hostLine;
    QStringList executed;  // what the shield executes for it, in order
};

// Host lines from `from` on, without the link warnings.
QStringList hostLines(const E2eProcess &driver, int from)
{
    return withoutLinkWarnings(driver.lines().mid(from));
}

}  // namespace

TEST(E2eCommands, EachCommandReachesTheShieldOnceInOrder)
{
    // "pickup" makes the driver play audio on its fixed UDP ports.
    E2ePair pair(singleSim, singleDriver, true);
    ASSERT_TRUE(pair.started()) << pair.describe();
    ASSERT_GE(pair.driver().waitForLine(QStringLiteral("#Shield update black list")), 0)
        << pair.describe();

    struct Round {
        const char *name;
        QString simSetting;
        QList<CommandCase> commands;
    };
    const Round rounds[] = {
        {"clean link",
         QString(),
         {
             {QStringLiteral("open 7"), {QStringLiteral("open door 7")}},
             {QStringLiteral("dial 300"), {QStringLiteral("dial 300")}},
             {QStringLiteral("pickup"), {QStringLiteral("pickup"), QStringLiteral("audio on")}},
             {QStringLiteral("drop"), {QStringLiteral("audio off"), QStringLiteral("drop")}},
             {QStringLiteral("phonedetect 9"), {QStringLiteral("phonedetect 9")}},
             {QStringLiteral("7 12"), {QStringLiteral("set intercom 12")}},
             {QStringLiteral("25"), {QStringLiteral("open door 5")}},
         }},
        // Every third frame from the shield has a bad CRC: replies get lost and commands are
        // repeated, but the shield executes each one once. Only the CRC: noise on the start byte
        // may restart the link, which may drop the outstanding command (the fault tests).
        {"damaging link",
         QStringLiteral("corrupt 0 3 crc"),
         {
             {QStringLiteral("open 6"), {QStringLiteral("open door 6")}},
             {QStringLiteral("dial 301"), {QStringLiteral("dial 301")}},
             {QStringLiteral("pickup"), {QStringLiteral("pickup"), QStringLiteral("audio on")}},
             {QStringLiteral("drop"), {QStringLiteral("audio off"), QStringLiteral("drop")}},
             {QStringLiteral("phonedetect 8"), {QStringLiteral("phonedetect 8")}},
             {QStringLiteral("7 13"), {QStringLiteral("set intercom 13")}},
             {QStringLiteral("dial 301"), {QStringLiteral("dial 301")}},
         }},
    };
    for (const Round &round : rounds) {
        SCOPED_TRACE(round.name);
        if (!round.simSetting.isEmpty())
            pair.sim().writeLine(round.simSetting);
        const int simFrom = pair.sim().lineCount();
        const int hostFrom = pair.driver().lineCount();
        QStringList expected;
        for (const CommandCase &c : round.commands) {
            pair.driver().writeLine(c.hostLine);
            expected << c.executed;
        }
        // A last command marks that everything before it has been through: commands go to a
        // shield one at a time, in order.
        pair.driver().writeLine(QStringLiteral("open 99"));
        expected << QStringLiteral("open door 99");
        ASSERT_TRUE(pair.waitExecuted(0, expected.last(), simFrom)) << pair.describe();
        EXPECT_EQ(pair.executed(0, simFrom), expected) << pair.describe();
        // None of these commands has an answer for the host.
        EXPECT_EQ(hostLines(pair.driver(), hostFrom), QStringList()) << pair.describe();
    }
    // The damage was real: the driver had to repeat commands and says so.
    EXPECT_GE(pair.driver().waitForPrefix(QStringLiteral("0 WARNING: SPI: TX errors: ")), 0)
        << pair.describe();
    EXPECT_EQ(pair.driver().errBesidesOverruns(), QString()) << pair.describe();
}

TEST(E2eCommands, BusyRepliesAndApartmentListLoading)
{
    E2ePair pair(singleSim, singleDriver);
    ASSERT_TRUE(pair.started()) << pair.describe();
    ASSERT_GE(pair.driver().waitForLine(QStringLiteral("#Shield update black list")), 0)
        << pair.describe();

    // A busy shield answers dial and phone detection with "busy"; a free one answers nothing.
    int simFrom = pair.sim().lineCount();
    int hostFrom = pair.driver().lineCount();
    pair.sim().writeLine(QStringLiteral("busy 0 on"));
    pair.driver().writeLine(QStringLiteral("dial 5"));
    pair.driver().writeLine(QStringLiteral("phonedetect 3"));
    ASSERT_TRUE(pair.waitExecuted(0, QStringLiteral("phonedetect 3"), simFrom)) << pair.describe();
    pair.sim().writeLine(QStringLiteral("busy 0 off"));
    pair.driver().writeLine(QStringLiteral("dial 6"));
    ASSERT_TRUE(pair.waitExecuted(0, QStringLiteral("dial 6"), simFrom)) << pair.describe();
    // The shield sends its reply before any event raised after it executed the command.
    pair.sim().writeLine(QStringLiteral("debugnum 0 5555"));
    ASSERT_GE(pair.driver().waitForLine(QStringLiteral("#DEBUG: 5555"), hostFrom), 0)
        << pair.describe();
    EXPECT_EQ(hostLines(pair.driver(), hostFrom),
              (QStringList{QStringLiteral("busy"), QStringLiteral("busy"),
                           QStringLiteral("#DEBUG: 5555")}))
        << pair.describe();

    // Apartment lists: prompts, a refused number, the ends of both lists, then the push.
    simFrom = pair.sim().lineCount();
    hostFrom = pair.driver().lineCount();
    for (const char *line : {"dialplan", "5", "1024", "1023", "-1", "7", "65535"})
        pair.driver().writeLine(QString::fromLatin1(line));
    ASSERT_GE(pair.driver().waitForLine(QStringLiteral("#Shield update black list"), hostFrom), 0)
        << pair.describe();
    const QStringList expected = {
        QStringLiteral("mask_imit"),
        QStringLiteral("#Write rooms for shield:"),
        QStringLiteral("Error: big number"),
        QStringLiteral("#End read rooms"),
        QString(),
        QStringLiteral("mask_block"),
        QStringLiteral("#Write blacklist rooms for shield:"),
        QStringLiteral("#End read rooms"),
        QString(),
        QStringLiteral("#Shield update virtual list"),
        QStringLiteral("#Shield update black list"),
    };
    EXPECT_EQ(hostLines(pair.driver(), hostFrom), expected) << pair.describe();
    const QStringList sim = pair.sim().lines().mid(simFrom);
    const int virtualEnd = sim.indexOf(QStringLiteral("shield 0: executed virtual list word 63"));
    EXPECT_GE(virtualEnd, 0) << pair.describe();
    EXPECT_GT(sim.indexOf(QStringLiteral("shield 0: executed black list word 63")), virtualEnd)
        << pair.describe();

    // Back in command mode.
    simFrom = pair.sim().lineCount();
    pair.driver().writeLine(QStringLiteral("open 2"));
    EXPECT_TRUE(pair.waitExecuted(0, QStringLiteral("open door 2"), simFrom)) << pair.describe();
    EXPECT_EQ(pair.driver().errBesidesOverruns(), QString()) << pair.describe();
}
