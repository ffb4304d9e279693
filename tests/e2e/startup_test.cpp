// Start-up as the host sees it: the driver against shield-sim, from the first line on standard
// output to the end of the first list push of every present shield.

#include "support/e2eprocess.h"

#include <gtest/gtest.h>

namespace {

const QStringList banner = {QStringLiteral("#STM_driver_2v18"),
                            QStringLiteral("KVT_STM_Driver 2.18"), QString()};

// The identity shield-sim gives shield n: firmware 23, shield 12, revision 3, and an ID whose
// first word is 0x330021 + n.
QString idLine(int shield)
{
    return QStringLiteral("ID: %1").arg(0x330021 + shield, 0, 16) +
           QStringLiteral("3436470d30353932");
}

QStringList identityBlock(int intercom, int shield)
{
    return {QStringLiteral("Intercom: %1").arg(intercom),
            QStringLiteral("Program_STM: 23"),
            QStringLiteral("Shield: 12"),
            QStringLiteral("Revision: 3"),
            idLine(shield),
            QString()};
}

}  // namespace

TEST(E2eStartup, SingleShieldOutputFromFirstLineToEndOfPush)
{
    struct Case {
        const char *name;
        QStringList driverArgs;
        QStringList firstLines;  // before the banner
        int intercom;
    };
    const Case cases[] = {
        {"no intercom option",
         {},
         {QStringLiteral("#WARNING: No intercom select for shield 0")},
         10},
        {"supported intercom",
         {QStringLiteral("-ic"), QStringLiteral("136")},
         {QStringLiteral("#Intercom 136 supported indexes for shield 0")},
         136},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        E2ePair pair({QStringLiteral("--shields"), QStringLiteral("0"), QStringLiteral("--single")},
                     c.driverArgs);
        ASSERT_TRUE(pair.started()) << pair.describe();
        ASSERT_GE(pair.driver().waitForLine(QStringLiteral("#Shield update black list")), 0)
            << pair.describe();

        const QStringList expected = c.firstLines + banner + identityBlock(c.intercom, 0) +
                                     QStringList{QStringLiteral("shield_ready"), QString(),
                                                 QStringLiteral("#Shield update virtual list"),
                                                 QStringLiteral("#Shield update black list")};
        EXPECT_EQ(pair.driver().lines(), expected) << pair.describe();
        EXPECT_EQ(pair.driver().errBesidesOverruns(), QString()) << pair.describe();
        // The shield was given the intercom index before it was asked for it.
        const QStringList done = pair.executed(0);
        const int set = done.indexOf(QStringLiteral("set intercom %1").arg(c.intercom));
        EXPECT_GE(set, 0) << pair.describe();
        EXPECT_GT(done.indexOf(QStringLiteral("read intercom")), set) << pair.describe();
    }
}

TEST(E2eStartup, MultiShieldAnnouncesEveryPresentShieldOnce)
{
    const QList<int> present = {0, 2, 5};
    E2ePair pair({QStringLiteral("--shields"), QStringLiteral("0,2,5"),
                  QStringLiteral("--multishield")},
                 {QStringLiteral("-multishield"), QStringLiteral("-ic"), QStringLiteral("7"),
                  QStringLiteral("-ic2"), QStringLiteral("48")});
    ASSERT_TRUE(pair.started()) << pair.describe();
    for (int s : present) {
        ASSERT_GE(pair.driver().waitForLine(QStringLiteral("#Shield %1 update black list").arg(s)),
                  0)
            << pair.describe();
    }
    const QStringList out = pair.driver().lines();

    // Only shield 2's index is one of the supported ones; the others fall back to "-ic".
    const QStringList head =
        QStringList{QStringLiteral("#Intercom 48 supported indexes for shield 2")} + banner;
    ASSERT_EQ(out.mid(0, head.size()), head) << pair.describe();

    // After the banner: per present shield its identity block, then its two push lines; lines of
    // different shields may interleave, but nothing else is written.
    QVector<bool> accounted(out.size(), false);
    for (int i = 0; i < head.size(); ++i)
        accounted[i] = true;
    for (int s : present) {
        SCOPED_TRACE(s);
        const QStringList block =
            QStringList{QStringLiteral("Address: %1").arg(s)} +
            identityBlock(s == 2 ? 48 : 7, s) +
            QStringList{QStringLiteral("%1 shield_ready").arg(s), QString()};
        const int at = out.indexOf(block.first());
        ASSERT_GE(at, 0) << pair.describe();
        EXPECT_EQ(out.count(block.first()), 1) << pair.describe();
        EXPECT_EQ(out.mid(at, block.size()), block) << pair.describe();
        for (int i = at; i < at + block.size() && i < out.size(); ++i)
            accounted[i] = true;

        const QString virtualDone = QStringLiteral("#Shield %1 update virtual list").arg(s);
        const QString blackDone = QStringLiteral("#Shield %1 update black list").arg(s);
        EXPECT_EQ(out.count(virtualDone), 1) << pair.describe();
        EXPECT_EQ(out.count(blackDone), 1) << pair.describe();
        const int v = out.indexOf(virtualDone);
        const int b = out.indexOf(blackDone);
        EXPECT_GT(v, at);
        EXPECT_GT(b, v);
        if (v >= 0)
            accounted[v] = true;
        if (b >= 0)
            accounted[b] = true;
    }
    for (int i = 0; i < out.size(); ++i)
        EXPECT_TRUE(accounted[i]) << "unexpected line " << i << ": " << out.at(i).toStdString();
    EXPECT_EQ(pair.driver().errBesidesOverruns(), QString()) << pair.describe();
}
