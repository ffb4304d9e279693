// A real host client: the two GStreamer pipelines the README gives, taken from the README itself,
// play a WAV file into a call and record the shield's audio while shield-sim plays the host's
// audio straight back. What comes back is what was sent, byte for byte and in order, apart from
// blocks the driver counted as dropped; between them only the driver's silence (cycles in which
// no host block was ready). Skipped, saying why, where GStreamer is not installed.

#include "support/e2eprocess.h"

#include <QDataStream>
#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtEndian>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>

namespace {

constexpr int blockSize = 512;
constexpr quint32 blocks = 120;  // about two seconds of a call
const char tag[4] = {'G', 'S', 'T', 'B'};

// The README's command lines that start with gst-launch-1.0 and contain `element`.
QStringList readmePipeline(const QString &element)
{
    QFile readme(QStringLiteral(STM_SOURCE_DIR "/README.md"));
    if (!readme.open(QIODevice::ReadOnly))
        return {};
    for (const QString &line : QString::fromUtf8(readme.readAll()).split(QLatin1Char('\n'))) {
        const QStringList words = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (!words.isEmpty() && words.first() == QLatin1String("gst-launch-1.0") &&
            words.contains(element))
            return words;
    }
    return {};
}

// The pipeline's words with its file (location=...) replaced by `path`.
QStringList withFile(QStringList words, const QString &path)
{
    for (QString &w : words) {
        if (w.startsWith(QLatin1String("location=")))
            w = QStringLiteral("location=") + path;
    }
    return words;
}

// A WAV file in the shields' format (8-bit G.711 mu-law, 32000 Hz, mono) whose blocks can be
// found again.
QByteArray callWav()
{
    QByteArray data;
    for (quint32 n = 0; n < blocks; ++n)
        data += numberedBlock(tag, n);
    QByteArray wav;
    QDataStream out(&wav, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::LittleEndian);
    out.writeRawData("RIFF", 4);
    out << quint32(36 + data.size());
    out.writeRawData("WAVEfmt ", 8);
    // mu-law (7), mono, 32000 samples and bytes a second, frames of one 8-bit sample
    out << quint32(16) << quint16(7) << quint16(1) << quint32(32000) << quint32(32000) << quint16(1)
        << quint16(8);
    out.writeRawData("data", 4);
    out << quint32(data.size());
    return wav + data;
}

// The samples of a WAV file's data chunk; empty when there is none.
QByteArray wavData(const QByteArray &wav)
{
    int at = 12;
    while (at + 8 <= wav.size()) {
        const quint32 size = qFromLittleEndian<quint32>(wav.constData() + at + 4);
        if (wav.mid(at, 4) == "data")
            return wav.mid(at + 8, static_cast<int>(size));
        at += 8 + static_cast<int>(size + (size & 1));
    }
    return {};
}

// The driver's filler for a cycle without a host block.
const QByteArray silence = QByteArray("\xFF\x7F").repeated(blockSize / 2);

qint64 shieldFigure(const QString &status, const char *name)
{
    return statusShield(askStatus(status), 0).value(QLatin1String(name)).toVariant().toLongLong();
}

}  // namespace

TEST(E2eGStreamer, ReadmePipelinesPlayIntoACallAndRecordItsAudioByteForByte)
{
    const QString gst = QStandardPaths::findExecutable(QStringLiteral("gst-launch-1.0"));
    if (gst.isEmpty()) {
        GTEST_SKIP() << "gst-launch-1.0 is missing: install gstreamer1.0-tools and "
                        "gstreamer1.0-plugins-good (scripts/packages.sh does)";
    }
    for (const char *element : {"wavparse", "rndbuffersize", "rawaudioparse", "udpsink", "udpsrc",
                                "wavenc", "filesink"}) {
        if (QProcess::execute(QStringLiteral("gst-inspect-1.0"),
                              {QStringLiteral("--exists"), QLatin1String(element)}) != 0) {
            GTEST_SKIP() << "GStreamer has no element " << element
                         << ": install gstreamer1.0-plugins-good (scripts/packages.sh does)";
        }
    }
    const QStringList play = readmePipeline(QStringLiteral("udpsink"));
    const QStringList record = readmePipeline(QStringLiteral("udpsrc"));
    ASSERT_FALSE(play.isEmpty()) << "the README shows no gst-launch-1.0 line with udpsink";
    ASSERT_FALSE(record.isEmpty()) << "the README shows no gst-launch-1.0 line with udpsrc";

    QTemporaryDir dir;
    const QString callPath = dir.filePath(QStringLiteral("call.wav"));
    const QString recordPath = dir.filePath(QStringLiteral("shield0.wav"));
    const QString status = dir.filePath(QStringLiteral("status.sock"));
    {
        QFile file(callPath);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        ASSERT_EQ(file.write(callWav()), callWav().size());
    }

    E2ePair pair({QStringLiteral("--shields"), QStringLiteral("0"), QStringLiteral("--single")},
                 {QStringLiteral("-ic"), QStringLiteral("10"), QStringLiteral("-status"), status},
                 true);
    ASSERT_TRUE(pair.started()) << pair.describe();
    ASSERT_GE(pair.driver().waitForLine(QStringLiteral("#Shield update black list")), 0)
        << pair.describe();
    pair.sim().writeLine(QStringLiteral("loopback 0 on"));

    E2eProcess recorder(QStringLiteral("gst record"), gst, withFile(record.mid(1), recordPath));
    ASSERT_TRUE(recorder.started());
    ASSERT_GE(recorder.waitForLine(QStringLiteral("Setting pipeline to PLAYING ...")), 0)
        << recorder.describe();

    const int simFrom = pair.sim().lineCount();
    pair.driver().writeLine(QStringLiteral("pickup"));
    ASSERT_TRUE(pair.waitExecuted(0, QStringLiteral("audio on"), simFrom)) << pair.describe();
    ASSERT_TRUE(E2eProcess::waitUntil([] {
        QUdpSocket probe;  // fails while the driver holds the call's port
        return !probe.bind(QHostAddress::LocalHost, 20003, QUdpSocket::DontShareAddress);
    })) << pair.describe();

    E2eProcess player(QStringLiteral("gst play"), gst, withFile(play.mid(1), callPath));
    ASSERT_TRUE(player.started());
    ASSERT_TRUE(player.waitForFinished()) << player.describe();
    EXPECT_EQ(player.exitCode(), 0) << player.describe();

    // Protocol time, not wall time: once the driver has taken every block, a second of cycles
    // lets its queue drain, the shield play each back and the recorder read the datagrams.
    ASSERT_TRUE(E2eProcess::waitUntil([&] {
        return shieldFigure(status, "audio_blocks_in") >= qint64(blocks);
    })) << pair.describe();
    const qint64 outThen = shieldFigure(status, "audio_blocks_out");
    ASSERT_TRUE(E2eProcess::waitUntil([&] {
        return shieldFigure(status, "audio_blocks_out") >= outThen + 64;
    })) << pair.describe();
    // Every block the driver let go of; the host-side buffer's figure once it counts more.
    const qint64 dropped = shieldFigure(status, "audio_dropped");

    ::kill(static_cast<pid_t>(recorder.pid()), SIGINT);  // -e: the WAV header is completed
    ASSERT_TRUE(recorder.waitForFinished()) << recorder.describe();
    pair.driver().writeLine(QStringLiteral("drop"));

    QFile recorded(recordPath);
    ASSERT_TRUE(recorded.open(QIODevice::ReadOnly)) << recorder.describe();
    const QByteArray data = wavData(recorded.readAll());
    ASSERT_EQ(data.size() % blockSize, 0) << "the recording is not whole datagrams";

    QList<quint32> back;
    int silent = 0;  // silence between the host's blocks: cycles with none ready
    QStringList wrong;
    for (int at = 0; at < data.size(); at += blockSize) {
        const QByteArray block = data.mid(at, blockSize);
        if (block.startsWith(QByteArray(tag, 4))) {
            const quint32 n = numberOf(block);
            if (block != numberedBlock(tag, n) || (!back.isEmpty() && n <= back.last()))
                wrong << QStringLiteral("block %1 at %2").arg(n).arg(at / blockSize);
            back << n;
        } else if (!back.isEmpty() && back.last() + 1 < blocks) {
            if (block == silence)
                ++silent;
            else
                wrong << QStringLiteral("foreign block at %1").arg(at / blockSize);
        }
    }
    EXPECT_EQ(wrong, QStringList());
    EXPECT_LE(qint64(blocks) - back.size(), dropped) << "blocks lost beyond those dropped";
    std::printf(
        "gstreamer: %u blocks played, %d back in order, %lld dropped, %d silent blocks "
        "between them\n",
        blocks, static_cast<int>(back.size()), static_cast<long long>(dropped), silent);
    EXPECT_EQ(pair.driver().errBesidesOverruns(), QString()) << pair.describe();
}
