// Whatever the host writes to the driver's standard input, the driver stays up, writes nothing
// to the host that is not part of its protocol, and still takes the valid commands; a closed
// input leaves it running and reporting.

#include "support/e2eprocess.h"

#include <gtest/gtest.h>

#include <random>

namespace {

const QStringList singleSim = {QStringLiteral("--shields"), QStringLiteral("0"),
                               QStringLiteral("--single")};
const QStringList singleDriver = {QStringLiteral("-ic"), QStringLiteral("10")};

// Lines of random bytes, NUL included, each long enough never to read as a number or keyword.
QByteArray randomLines(int lines)
{
    std::mt19937 random(20240607);
    std::uniform_int_distribution<int> byte(0, 255);
    QByteArray bytes;
    for (int l = 0; l < lines; ++l) {
        for (int i = 0; i < 120; ++i) {
            char c = static_cast<char>(byte(random));
            if (c == '\n')
                c = '\0';
            bytes += c;
        }
        bytes += '\n';
    }
    return bytes;
}

}  // namespace

TEST(E2eInput, GarbageOnStandardInputChangesNothingButValidCommandsStillWork)
{
    E2ePair pair(singleSim, singleDriver);
    ASSERT_TRUE(pair.started()) << pair.describe();
    ASSERT_GE(pair.driver().waitForLine(QStringLiteral("#Shield update black list")), 0)
        << pair.describe();
    const int from = pair.driver().lineCount();
    const int simFrom = pair.sim().lineCount();
    E2eProcess &driver = pair.driver();

    driver.write(randomLines(40));
    // 100 kB in one line, arriving before its end of line does. Read whole, the line starts with
    // a word that is no keyword; any piece of it read as a line of its own would open door 9.
    QByteArray longLine("X");
    while (longLine.size() < 100 * 1024)
        longLine += "open 9 ";
    driver.write(longLine);
    E2eProcess::pump(300);
    driver.write("\n");
    // Blank lines, unknown and near-miss words, a NUL inside a command.
    driver.write(" \n   \n          \n\n\r\n");
    driver.write("hello\nPICKUP\nOpen 3\n--drop\ndialplan2\n1 2 3\n");
    driver.write(QByteArray("open\0 8\n", 8));
    // Host lines ending in CR LF are commands as well.
    driver.write("open 6\r\ndial 77\r\n");
    driver.writeLine(QStringLiteral("open 4"));

    ASSERT_TRUE(pair.waitExecuted(0, QStringLiteral("open door 4"), simFrom)) << pair.describe();
    EXPECT_EQ(pair.executed(0, simFrom),
              (QStringList{QStringLiteral("open door 6"), QStringLiteral("dial 77"),
                           QStringLiteral("open door 4")}))
        << pair.describe();
    // Nothing of it went to the host: the next line the host reads is the shield's next event.
    pair.sim().writeLine(QStringLiteral("debugnum 0 9999"));
    ASSERT_GE(driver.waitForLine(QStringLiteral("#DEBUG: 9999"), from), 0) << pair.describe();
    EXPECT_EQ(withoutLinkWarnings(driver.lines().mid(from)),
              QStringList{QStringLiteral("#DEBUG: 9999")})
        << pair.describe();
    EXPECT_TRUE(driver.running());

    // The host closes its end: the driver goes on serving the shield.
    driver.closeInput();
    E2eProcess::pump(1000);
    ASSERT_TRUE(driver.running()) << pair.describe();
    const int closedFrom = driver.lineCount();
    pair.sim().writeLine(QStringLiteral("dial 0 55"));
    EXPECT_GE(driver.waitForLine(QStringLiteral("dial 55"), closedFrom), 0) << pair.describe();
    EXPECT_EQ(withoutLinkWarnings(driver.lines().mid(closedFrom)),
              QStringList{QStringLiteral("dial 55")})
        << pair.describe();
    EXPECT_TRUE(driver.running());
}
