// The scenario files shipped with shield-sim: every line of each is one the simulator takes, and
// "repeat" plays a file again from the top (the demo promises a call every few seconds, for
// ever), without spinning or flooding the output when a file hardly waits.

#include "shield-sim/scenario.h"
#include "sim/emulatedboard.h"

#include <QDir>

#include <gtest/gtest.h>

namespace {

QString scenarioDir()
{
    return QStringLiteral(STM_SOURCE_DIR "/tools/shield-sim/scenarios");
}

}  // namespace

TEST(Scenario, EveryShippedFileParsesLineByLine)
{
    const QDir dir(scenarioDir());
    const QStringList files = dir.entryList({QStringLiteral("*.txt")}, QDir::Files);
    ASSERT_FALSE(files.isEmpty()) << "no scenario in " << dir.absolutePath().toStdString();
    for (const QString &name : files) {
        SCOPED_TRACE(name.toStdString());
        Scenario scenario({});
        ASSERT_TRUE(Scenario::load(dir.filePath(name), &scenario));
        EXPECT_EQ(scenario.faults(), QStringList());
    }
    // The check itself finds what the simulator refuses, and says where.
    const Scenario bad({QStringLiteral("wait 10"), QStringLiteral("dial 9 300"),
                        QStringLiteral("wait soon"), QStringLiteral("# fine"),
                        QStringLiteral("repeat 2"), QStringLiteral("corrupt 0 3 crc"),
                        QStringLiteral("corrupt 0 3 bits")});
    const QStringList faults = bad.faults();
    ASSERT_EQ(faults.size(), 4) << faults.join(QLatin1Char('\n')).toStdString();
    EXPECT_TRUE(faults.at(0).startsWith(QLatin1String("line 2: dial 9 300 -- ")));
    EXPECT_TRUE(faults.at(1).startsWith(QLatin1String("line 3: ")));
    EXPECT_TRUE(faults.at(2).startsWith(QLatin1String("line 5: ")));
    EXPECT_TRUE(faults.at(3).startsWith(QLatin1String("line 7: ")));
}

TEST(Scenario, RepeatPlaysFromTheTopAndAShortRoundIsMadeUpToASecond)
{
    Scenario demo({});
    ASSERT_TRUE(Scenario::load(scenarioDir() + QStringLiteral("/demo.txt"), &demo));
    ASSERT_TRUE(demo.repeats());
    EmulatedBoard board;
    SimControl control(&board);
    QStringList printed;
    QList<int> slept;
    demo.play(&control, [&](const QString &line) { printed << line; },
              [&](int ms) { slept << ms; }, 3);
    // Three rounds of the same calls, each command echoed without a complaint.
    EXPECT_EQ(printed.size() % 3, 0);
    const int round = printed.size() / 3;
    EXPECT_EQ(printed.mid(0, round), printed.mid(round, round));
    EXPECT_EQ(printed.filter(QStringLiteral("  -- ")), QStringList());
    EXPECT_EQ(printed.count(QStringLiteral("scenario: dial 0 300 1")), 3);
    EXPECT_EQ(board.shield(0).pendingEvents(), 6);  // a dial and a hang-up per round
    EXPECT_FALSE(slept.contains(Scenario::idleRoundMs));

    // The lines after "repeat" are never reached; a round lasts at least a second of waits.
    const Scenario busy({QStringLiteral("debugnum 1 7"), QStringLiteral("wait 10"),
                         QStringLiteral("repeat"),
                         QStringLiteral("debugnum 1 8")});
    printed.clear();
    slept.clear();
    busy.play(&control, [&](const QString &line) { printed << line; },
              [&](int ms) { slept << ms; }, 4);
    const QString echo = QStringLiteral("scenario: debugnum 1 7");
    EXPECT_EQ(printed, (QStringList{echo, echo, echo, echo}));
    const int pause = Scenario::idleRoundMs - 10;
    EXPECT_EQ(slept, (QList<int>{10, pause, 10, pause, 10, pause, 10}));
    // Without "repeat" a file plays once.
    const Scenario once({QStringLiteral("open 2"), QStringLiteral("wait 5")});
    printed.clear();
    once.play(&control, [&](const QString &line) { printed << line; }, [](int) {});
    EXPECT_EQ(printed, QStringList{QStringLiteral("scenario: open 2")});
}

TEST(SimControl, BootloaderCommandsSetUpTheShieldsRomAndRefuseBadWords)
{
    EmulatedBoard board;
    SimControl control(&board);
    struct Row {
        const char *line;
        bool ok;
    };
    const Row rows[] = {
        {"blank 1", true},
        {"flash 2 65536 1024 0x468", true},
        {"flash 2 65536 1000", false},  // not a multiple of the page
        {"flash 2 512 64", false},      // below 1 KiB
        {"flashtime 1 20", true},
        {"flashtime 1 20 1 400", true},
        {"flashtime 1 70000", false},
        {"bootjumper 3 on", true},
        {"bootjumper 3 maybe", false},
        {"protect 1 5", true},
        {"protect 1 5 3", true},
        {"protect 1 readout", true},
        {"protect 1", false},
        {"blfault 1 nack write 20", true},
        {"blfault 1 lose read", true},
        {"blfault 1 timeout id 1", true},
        {"blfault 1 crash write", false},
        {"blfault 1 nack jump", false},
        {"blfault 1 nack write 0", false},
        {"blfault 1 ackloss go", true},
        {"blfault 1 stop write 17", true},
        {"ecc 1 16", true},
        {"ecc 1 off", true},
        {"ecc 1 4", false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.line);
        QString answer;
        EXPECT_EQ(control.execute(QLatin1String(row.line), &answer), row.ok)
            << answer.toStdString();
    }
    EXPECT_TRUE(board.shield(1).inBootloader());
    EXPECT_TRUE(board.shield(2).inBootloader());  // a new flash is blank
    EXPECT_EQ(board.shield(2).flash().size(), 65536);
    EXPECT_FALSE(board.shield(3).inBootloader());
    board.shield(3).setReset(true);
    board.shield(3).setReset(false);
    EXPECT_TRUE(board.shield(3).inBootloader());  // the jumper holds it there at every start
    QString status;
    ASSERT_TRUE(control.execute(QStringLiteral("status"), &status));
    EXPECT_TRUE(status.contains(QStringLiteral("shield 0: running, firmware 23,")))
        << status.toStdString();
}

TEST(SimControl, EachShieldCommandAnswersWithItsOwnUsage)
{
    EmulatedBoard board;
    SimControl control(&board);
    const struct {
        const char *line;
        const char *answer;  // "": done
    } rows[] = {
        {"dial 0 300 1", ""},
        {"dial 0", "usage: dial S NUMBER [INDEX]"},
        {"error 0", "usage: error S CODE"},
        {"debugnum 0 x", "usage: debugnum S VALUE"},
        {"busy 0 maybe", "usage: busy S on|off"},
        {"corrupt 0 4 crc", ""},
        {"corrupt 0 4 all", "usage: corrupt S N [crc|idle]"},
        {"ack79 0 after", ""},
        {"mute 7", "no shield address 0-5 in \"mute 7\""},
        {"frobnicate", "no shield address 0-5 in \"frobnicate\""},
        {"frobnicate 1", "unknown command \"frobnicate\" (try help)"},
    };
    for (const auto &row : rows) {
        QString answer;
        EXPECT_EQ(control.execute(QLatin1String(row.line), &answer), *row.answer == '\0')
            << row.line;
        EXPECT_EQ(answer.toStdString(), row.answer) << row.line;
    }
}
