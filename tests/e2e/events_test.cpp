// Line events from shield-sim to the host: each event gives its exact line on the driver's
// standard output, once, in the order the shield raised them, also over a link that damages
// frames.

#include "support/e2eprocess.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

struct EventCase {
    QString simCommand;  // what happens on the line
    QString hostLine;    // what the host reads
};

// The host lines after `from`, without the periodic link-error counts, which a damaged link
// adds between the events.
QStringList eventLines(const E2eProcess &driver, int from)
{
    QStringList lines = driver.lines().mid(from);
    lines.erase(std::remove_if(lines.begin(), lines.end(),
                               [](const QString &l) {
                                   return l.contains(QLatin1String(" WARNING: SPI: TX errors: ")) ||
                                          l.contains(QLatin1String(" WARNING: SPI: RX errors: "));
                               }),
                lines.end());
    return lines;
}

// Raises the events in one go, then a last one whose line marks that all before it are through
// (a shield offers its events one at a time, in order).
void raiseAll(E2ePair &pair, const QList<EventCase> &events, const QString &marker)
{
    for (const EventCase &e : events)
        pair.sim().writeLine(e.simCommand);
    pair.sim().writeLine(marker);
}

const QStringList singleSim = {QStringLiteral("--shields"), QStringLiteral("0"),
                               QStringLiteral("--single")};

}  // namespace

TEST(E2eEvents, EveryEventGivesItsLineOnceAndInOrderAlsoOverADamagingLink)
{
    E2ePair pair(singleSim, {QStringLiteral("-ic"), QStringLiteral("10")});
    ASSERT_TRUE(pair.started()) << pair.describe();
    ASSERT_GE(pair.driver().waitForLine(QStringLiteral("#Shield update black list")), 0)
        << pair.describe();

    const QList<EventCase> everyKind = {
        {QStringLiteral("dial 0 300"), QStringLiteral("dial 300")},
        // Index 10 is no supported intercom: the address index stays off the line.
        {QStringLiteral("dial 0 300 7"), QStringLiteral("dial 300")},
        {QStringLiteral("key 0 1234"), QStringLiteral("keyopen 1234")},
        {QStringLiteral("key 0 65535"), QStringLiteral("keyopen 65535")},
        {QStringLiteral("pickup 0"), QStringLiteral("pickup")},
        {QStringLiteral("open 0"), QStringLiteral("open")},
        {QStringLiteral("hangup 0"), QStringLiteral("drop")},
        {QStringLiteral("phone 0 0"), QStringLiteral("phone notfound")},
        {QStringLiteral("phone 0 1"), QStringLiteral("phone detected")},
        {QStringLiteral("phone 0 2"), QStringLiteral("phone short")},
        {QStringLiteral("phone 0 3"), QStringLiteral("phone shortline")},
        {QStringLiteral("phone 0 4"), QStringLiteral("phone pickup")},
        {QStringLiteral("phone 0 9"), QStringLiteral("phone notfound")},
        {QStringLiteral("error 0 0x101"), QStringLiteral("#ERROR: Hang loop read dial")},
        {QStringLiteral("error 0 0x102"), QStringLiteral("#ERROR: Hang loop call")},
        {QStringLiteral("error 0 0x110"), QStringLiteral("#ERROR: Hang loop unknown")},
        {QStringLiteral("error 0 0x111"), QStringLiteral("#ERROR: Uncnown code: 0x111")},
        {QStringLiteral("debug 0 ABCD"), QStringLiteral("#DEBUG: ABCD")},
        {QStringLiteral("debug 0 AB"), QStringLiteral("#DEBUG: AB")},
        {QStringLiteral("debugnum 0 1000"), QStringLiteral("#DEBUG: 1000")},
        {QStringLiteral("debugnum 0 4294967295"), QStringLiteral("#DEBUG: 4294967295")},
    };
    // A burst of dials over a link on which every third frame from the shield has a bad CRC:
    // damaged events are offered again and must still reach the host once each. With the four
    // dials and keys above this stays below the dial-flood limit. Only the CRC is damaged: noise
    // on the start byte may restart the link, which loses the shield's events by design (the
    // fault tests count that case).
    QList<EventCase> burst;
    for (int n = 1001; n <= 1020; ++n)
        burst << EventCase{QStringLiteral("dial 0 %1").arg(n), QStringLiteral("dial %1").arg(n)};
    burst << EventCase{QStringLiteral("hangup 0"), QStringLiteral("drop")};

    struct Round {
        const char *name;
        QString simSetting;
        QList<EventCase> events;
    };
    const Round rounds[] = {{"every kind", QString(), everyKind},
                            {"damaging link", QStringLiteral("corrupt 0 3 crc"), burst}};
    quint32 marker = 11111;
    for (const Round &round : rounds) {
        SCOPED_TRACE(round.name);
        if (!round.simSetting.isEmpty())
            pair.sim().writeLine(round.simSetting);
        QStringList expected;
        for (const EventCase &e : round.events)
            expected << e.hostLine;
        const QString markerLine = QStringLiteral("#DEBUG: %1").arg(++marker);
        expected << markerLine;

        const int from = pair.driver().lineCount();
        const int simFrom = pair.sim().lineCount();
        raiseAll(pair, round.events, QStringLiteral("debugnum 0 %1").arg(marker));
        ASSERT_GE(pair.driver().waitForLine(markerLine, from), 0) << pair.describe();
        EXPECT_EQ(eventLines(pair.driver(), from), expected) << pair.describe();
        // The shield saw its last event acknowledged.
        EXPECT_GE(pair.sim().waitForLine(
                      QStringLiteral("shield 0: event acknowledged: debug %1").arg(marker),
                      simFrom),
                  0)
            << pair.describe();
    }

    // A loop-back test is answered to the shield with its own value and tells the host nothing.
    const int from = pair.driver().lineCount();
    const int simFrom = pair.sim().lineCount();
    pair.sim().writeLine(QStringLiteral("loop 0 16909060"));
    EXPECT_TRUE(pair.waitExecuted(0, QStringLiteral("loop return 16909060"), simFrom))
        << pair.describe();
    raiseAll(pair, {}, QStringLiteral("debugnum 0 22222"));
    ASSERT_GE(pair.driver().waitForLine(QStringLiteral("#DEBUG: 22222"), from), 0)
        << pair.describe();
    EXPECT_EQ(eventLines(pair.driver(), from), QStringList{QStringLiteral("#DEBUG: 22222")});
    EXPECT_EQ(pair.driver().errBesidesOverruns(), QString()) << pair.describe();
}

TEST(E2eEvents, AddressGateAndShieldAddressesInMultiShieldLines)
{
    // Index 136 is a supported intercom: dial and key lines carry the address index. With
    // -multishield every line names its shield.
    E2ePair pair({QStringLiteral("--shields"), QStringLiteral("0,2"),
                  QStringLiteral("--multishield")},
                 {QStringLiteral("-multishield"), QStringLiteral("-ic"), QStringLiteral("10"),
                  QStringLiteral("-ic2"), QStringLiteral("136")});
    ASSERT_TRUE(pair.started()) << pair.describe();
    for (int s : {0, 2}) {
        ASSERT_GE(pair.driver().waitForLine(QStringLiteral("#Shield %1 update black list").arg(s)),
                  0)
            << pair.describe();
    }

    const QList<EventCase> events = {
        {QStringLiteral("dial 2 300 7"), QStringLiteral("2 dial 300 7")},
        {QStringLiteral("dial 0 300 7"), QStringLiteral("0 dial 300")},
        {QStringLiteral("key 2 1234 5"), QStringLiteral("2 keyopen 1234 5")},
        {QStringLiteral("key 0 1234 5"), QStringLiteral("0 keyopen 1234")},
        {QStringLiteral("pickup 2"), QStringLiteral("2 pickup")},
        {QStringLiteral("open 2"), QStringLiteral("2 open")},
        {QStringLiteral("hangup 2"), QStringLiteral("2 drop")},
        {QStringLiteral("phone 2 4"), QStringLiteral("2 phone pickup")},
        {QStringLiteral("error 2 0x102"), QStringLiteral("#ERROR 2: Hang loop call")},
        {QStringLiteral("debug 2 ABCD"), QStringLiteral("#DEBUG 2: ABCD")},
        {QStringLiteral("debugnum 2 1000"), QStringLiteral("#DEBUG 2: 1000")},
    };
    // One event at a time: two shields' events may otherwise reach the host in either order.
    const int start = pair.driver().lineCount();
    QStringList expected;
    for (const EventCase &e : events) {
        SCOPED_TRACE(e.simCommand.toStdString());
        const int from = pair.driver().lineCount();
        pair.sim().writeLine(e.simCommand);
        ASSERT_GE(pair.driver().waitForLine(e.hostLine, from), 0) << pair.describe();
        expected << e.hostLine;
    }
    // Nothing came twice, and no event showed under the other shield.
    pair.sim().writeLine(QStringLiteral("debugnum 0 44444"));
    expected << QStringLiteral("#DEBUG 0: 44444");
    ASSERT_GE(pair.driver().waitForLine(expected.last(), start), 0) << pair.describe();
    EXPECT_EQ(eventLines(pair.driver(), start), expected) << pair.describe();
}
