// The line in Wireshark: stm-status captures a running driver's exchanges with shield-sim into a
// pcap file, and Debian's tshark, with the stmspi dissector, finds in it the dial event, the
// host's open-door command and exactly the one reply the shield spoilt, without a malformed
// packet or a Lua error.

#include "support/e2eprocess.h"
#include "support/otheruser.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>

namespace {

// What tshark, with the dissector, shows of `file`: the fields (separated by spaces) of the
// records that pass `filter`, one line each; it must say nothing on standard error. Wireshark 4.2
// on (Debian 13) runs no user's Lua script for root, and nobody should run it as root: there it
// runs as another user, with the dissector handed over to it. So that it needs no right to the
// file (0600, in a folder of ours), it reads it from its standard input.
QStringList tshark(const QString &file, const QString &filter, const QString &fields)
{
    static OtherUser user;
    static const QString dissector = user.hand(STM_SOURCE_DIR "/tools/wireshark/stmspi.lua");
    const QString program = QStandardPaths::findExecutable(QStringLiteral("tshark"));
    EXPECT_FALSE(program.isEmpty()) << "tshark is not installed: ./scripts/test installs it";
    QStringList args = {program, "-X", "lua_script:" + dissector, "-r", "-", "-Y", filter};
    args << QStringLiteral("-T") << QStringLiteral("fields");
    for (const QString &field : fields.split(' '))
        args << QStringLiteral("-e") << field;
    args = user.command(args);
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), QStringLiteral("/nonexistent"));
    process.setProcessEnvironment(environment);
    process.start(args.takeFirst(), args);
    QFile capture(file);
    EXPECT_TRUE(capture.open(QIODevice::ReadOnly));
    process.write(capture.readAll());
    process.closeWriteChannel();
    EXPECT_TRUE(process.waitForFinished(E2eProcess::timeoutMs));
    EXPECT_EQ(process.exitCode(), 0);
    EXPECT_EQ(process.readAllStandardError().toStdString(), "") << filter.toStdString();
    return QString::fromUtf8(process.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
}

}  // namespace

TEST(E2eCapture, TsharkFindsTheDialTheOpenDoorAndExactlyTheSpoiltReply)
{
    QTemporaryDir dir;
    const QString status = dir.filePath(QStringLiteral("status.sock"));
    const QString file = dir.filePath(QStringLiteral("line.pcap"));
    E2ePair pair({"--shields", "0", "--single"}, {"-status", status});
    ASSERT_TRUE(pair.started()) << pair.describe();
    ASSERT_GE(pair.driver().waitForLine(QStringLiteral("#Shield update black list")), 0)
        << pair.describe();

    E2eProcess capture("stm-status", STM_STATUS_PATH, {"-s", status, "--capture", file});
    ASSERT_TRUE(capture.waitForErr(QStringLiteral("stm-status: capturing every shield to ")))
        << capture.describe();

    pair.sim().writeLine(QStringLiteral("dial 0 300"));
    ASSERT_GE(pair.driver().waitForLine(QStringLiteral("dial 300")), 0) << pair.describe();
    pair.sim().writeLine(QStringLiteral("spoil 0"));
    const int from = pair.sim().lineCount();
    pair.driver().writeLine(QStringLiteral("open 5"));
    ASSERT_TRUE(pair.waitExecuted(0, QStringLiteral("open door 5"), from)) << pair.describe();
    // The spoilt reply was dropped and the command it answered repeated; then the records of
    // those cycles reach the file (it grows by later cycles' records).
    ASSERT_TRUE(E2eProcess::waitUntil([&] {
        const QJsonObject shield = statusShield(askStatus(status), 0);
        return shield.value(QStringLiteral("bad_frames")).toInt() == 1 &&
               shield.value(QStringLiteral("tx_errors")).toInt() >= 1;
    })) << pair.describe();
    const qint64 size = QFileInfo(file).size();
    ASSERT_TRUE(E2eProcess::waitUntil([&] { return QFileInfo(file).size() > size + 2000; }));
    ::kill(static_cast<pid_t>(capture.pid()), SIGINT);
    ASSERT_TRUE(capture.waitForFinished()) << capture.describe();
    EXPECT_EQ(capture.exitCode(), 0) << capture.describe();
    EXPECT_TRUE(capture.err().contains(QStringLiteral(" records written, 0 lost\n")))
        << capture.describe();
    EXPECT_EQ(askStatus(status).value(QStringLiteral("capture_dropped")).toInt(-1), 0);
    EXPECT_EQ(pair.driver().errBesidesOverruns(), QString()) << pair.describe();

    // Every dial event and open-door command in the file is the one made here (each may be
    // repeated on the bus); one frame alone is flagged, the spoilt reply, and none is malformed,
    // failed in the dissector or not dissected as stmspi.
    QStringList found = tshark(file,
                               "stmspi.direction == 1 && stmspi.code == 0x80 || "
                               "stmspi.direction == 0 && stmspi.code == 0x20",
                               "stmspi.shield stmspi.value _ws.col.Info");
    found.removeDuplicates();
    EXPECT_EQ(found, QStringList({QStringLiteral("0\t300\tshield 0 ← event dial 300"),
                                  QStringLiteral("0\t5\tshield 0 → open door 5")}));
    EXPECT_EQ(tshark(file, "stmspi.crc.status == 0 || _ws.malformed || _ws.lua.error || !stmspi",
                     "stmspi.direction _ws.col.Info"),
              QStringList{QStringLiteral("1\tshield 0 ← reply [bad CRC]")});

    // One shield, a given number of records: the capture ends by itself.
    const QString counted = dir.filePath(QStringLiteral("ten.pcap"));
    E2eProcess ten("stm-status", STM_STATUS_PATH,
                   {"-s", status, "--capture", counted, "--shield", "0", "--count", "10"});
    ASSERT_TRUE(ten.waitForFinished()) << ten.describe();
    EXPECT_EQ(ten.exitCode(), 0) << ten.describe();
    EXPECT_EQ(tshark(counted, "stmspi.shield == 0", "frame.number").size(), 10);
}
