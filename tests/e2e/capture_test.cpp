// The line in Wireshark: stm-status captures a running driver's exchanges with shield-sim into a
// pcap file, and Debian's tshark, with the stmspi dissector, finds in it the dial event, the
// host's open-door command and exactly the one reply the shield spoilt, without a malformed
// packet or a Lua error.

#include "support/e2eprocess.h"

#include <QFileInfo>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>

namespace {

// What tshark, with the dissector, shows of `file`: the fields of the records that pass
// `filter`, one line each. Its standard error must hold nothing but its notice about root.
QStringList tshark(const QString &file, const QString &filter, const QStringList &fields)
{
    const QString program = QStandardPaths::findExecutable(QStringLiteral("tshark"));
    EXPECT_FALSE(program.isEmpty()) << "tshark is not installed: ./scripts/test installs it";
    QStringList args = {QStringLiteral("-X"),
                        QStringLiteral("lua_script:" STM_SOURCE_DIR "/tools/wireshark/stmspi.lua"),
                        QStringLiteral("-r"),
                        file,
                        QStringLiteral("-Y"),
                        filter,
                        QStringLiteral("-T"),
                        QStringLiteral("fields")};
    for (const QString &field : fields)
        args << QStringLiteral("-e") << field;
    QProcess process;
    process.start(program, args);
    EXPECT_TRUE(process.waitForFinished(E2eProcess::timeoutMs));
    EXPECT_EQ(process.exitCode(), 0);
    QStringList errors = QString::fromUtf8(process.readAllStandardError()).split('\n');
    errors.removeAll(
        QStringLiteral("Running as user \"root\" and group \"root\". This could be "
                       "dangerous."));
    errors.removeAll(QString());
    EXPECT_EQ(errors, QStringList()) << filter.toStdString();
    QStringList lines = QString::fromUtf8(process.readAllStandardOutput()).split('\n');
    lines.removeAll(QString());
    return lines;
}

qint64 shieldField(const QString &status, const char *name)
{
    return statusShield(askStatus(status), 0).value(QLatin1String(name)).toVariant().toLongLong();
}

}  // namespace

TEST(E2eCapture, TsharkFindsTheDialTheOpenDoorAndExactlyTheSpoiltReply)
{
    QTemporaryDir dir;
    const QString status = dir.filePath(QStringLiteral("status.sock"));
    const QString file = dir.filePath(QStringLiteral("line.pcap"));
    E2ePair pair({QStringLiteral("--shields"), QStringLiteral("0"), QStringLiteral("--single")},
                 {QStringLiteral("-status"), status});
    ASSERT_TRUE(pair.started()) << pair.describe();
    ASSERT_GE(pair.driver().waitForLine(QStringLiteral("#Shield update black list")), 0)
        << pair.describe();

    E2eProcess capture(QStringLiteral("stm-status"), QStringLiteral(STM_STATUS_PATH),
                       {QStringLiteral("-s"), status, QStringLiteral("--capture"), file});
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
        return shieldField(status, "bad_frames") == 1 && shieldField(status, "tx_errors") >= 1;
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

    const QStringList dials =
        tshark(file, QStringLiteral("stmspi.direction == 1 && stmspi.code == 0x80"),
               {QStringLiteral("stmspi.shield"), QStringLiteral("stmspi.value"),
                QStringLiteral("_ws.col.Info")});
    ASSERT_FALSE(dials.isEmpty());
    for (const QString &dial : dials)
        EXPECT_EQ(dial, QStringLiteral("0\t300\tshield 0 ← event dial 300"));
    const QStringList opens =
        tshark(file, QStringLiteral("stmspi.direction == 0 && stmspi.code == 0x20"),
               {QStringLiteral("stmspi.value"), QStringLiteral("_ws.col.Info")});
    ASSERT_FALSE(opens.isEmpty());
    for (const QString &open : opens)
        EXPECT_EQ(open, QStringLiteral("5\tshield 0 → open door 5"));
    EXPECT_EQ(tshark(file, QStringLiteral("stmspi.crc.status == 0"),
                     {QStringLiteral("stmspi.direction"), QStringLiteral("_ws.col.Info")}),
              QStringList{QStringLiteral("1\tshield 0 ← reply [bad CRC]")});
    EXPECT_EQ(tshark(file, QStringLiteral("_ws.malformed || _ws.lua.error || !stmspi"),
                     {QStringLiteral("frame.number")}),
              QStringList());

    // One shield, a given number of records: the capture ends by itself.
    const QString counted = dir.filePath(QStringLiteral("ten.pcap"));
    E2eProcess ten(QStringLiteral("stm-status"), QStringLiteral(STM_STATUS_PATH),
                   {QStringLiteral("-s"), status, QStringLiteral("--capture"), counted,
                    QStringLiteral("--shield"), QStringLiteral("0"), QStringLiteral("--count"),
                    QStringLiteral("10")});
    ASSERT_TRUE(ten.waitForFinished()) << ten.describe();
    EXPECT_EQ(ten.exitCode(), 0) << ten.describe();
    EXPECT_EQ(
        tshark(counted, QStringLiteral("stmspi.shield == 0"), {QStringLiteral("frame.number")})
            .size(),
        10);
}
