// The "-wav" file: an 8-bit canonical WAV is loaded as mono samples and handed out in 16 ms
// chunks; every other file is refused with its code, and no header can make the reader loop,
// divide by zero or allocate what the file does not hold.

#include "config/wav_reader.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <fstream>
#include <functional>

namespace {

// The header fields a test may choose; the rest follow from them.
struct WavFields {
    QByteArray riff = "RIFF";
    QByteArray wave = "WAVE";
    QByteArray fmt = "fmt ";
    quint16 channels = 1;
    quint32 sampleRate = 32000;
    quint16 blockAlign = 1;
    quint16 bits = 8;
    QByteArray between;  // bytes between the format chunk and the data chunk
    QByteArray dataId = "data";
    qint64 dataSize = -1;  // the size the header announces; -1: the size of the data written
};

QByteArray le16(quint16 v)
{
    QByteArray bytes(2, '\0');
    bytes[0] = static_cast<char>(v & 0xFF);
    bytes[1] = static_cast<char>(v >> 8);
    return bytes;
}

QByteArray le32(quint32 v)
{
    return le16(quint16(v & 0xFFFF)) + le16(quint16(v >> 16));
}

QByteArray wavBytes(const WavFields &f, const QByteArray &data)
{
    const quint32 announced = f.dataSize < 0 ? quint32(data.size()) : quint32(f.dataSize);
    return f.riff + le32(36 + announced) + f.wave + f.fmt + le32(16) + le16(1) + le16(f.channels) +
           le32(f.sampleRate) + le32(f.sampleRate * f.blockAlign) + le16(f.blockAlign) +
           le16(f.bits) + f.between + f.dataId + le32(announced) + data;
}

// Sample bytes that tell their positions apart.
QByteArray ramp(int count)
{
    QByteArray bytes(count, '\0');
    for (int i = 0; i < count; ++i)
        bytes[i] = static_cast<char>(i % 251);
    return bytes;
}

class WavReaderTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(dir.isValid()); }

    QString write(const QByteArray &bytes)
    {
        const QString path = dir.filePath(QStringLiteral("f%1.wav").arg(files++));
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
        return path;
    }

    QTemporaryDir dir;
    int files = 0;
};

TEST_F(WavReaderTest, MonoSamplesComeIn16msChunksUntilTheEndAndAgainAfterRetry)
{
    const QByteArray data = ramp(1000);
    WAV_Reader reader;
    ASSERT_EQ(reader.OpenFILE(write(wavBytes(WavFields(), data))), 0);
    EXPECT_EQ(reader.getSamples(), data);

    EXPECT_EQ(reader.GetAudioData_16ms(), data.left(512));
    EXPECT_EQ(reader.GetAudioData_16ms(), data.mid(512));
    EXPECT_TRUE(reader.GetAudioData_16ms().isEmpty());
    EXPECT_TRUE(reader.GetAudioData_16ms().isEmpty());

    reader.retry();
    EXPECT_EQ(reader.GetAudioData_16ms(), data.left(512));
    EXPECT_EQ(reader.GetAudioData_16ms(), data.mid(512));
}

TEST_F(WavReaderTest, ChunkLengthFollowsTheSampleRate)
{
    const struct {
        quint32 rate;
        int chunk;
    } cases[] = {{8000, 128}, {16000, 256}, {32000, 512}, {44100, 705}};

    const QByteArray data = ramp(2000);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.rate);
        WavFields f;
        f.sampleRate = c.rate;
        WAV_Reader reader;
        ASSERT_EQ(reader.OpenFILE(write(wavBytes(f, data))), 0);
        EXPECT_EQ(reader.GetAudioData_16ms(), data.left(c.chunk));
        EXPECT_EQ(reader.GetAudioData_16ms(), data.mid(c.chunk, c.chunk));
    }
}

TEST_F(WavReaderTest, OnlyTheFirstChannelOfEveryFrameIsKept)
{
    const struct {
        quint16 channels;
        quint16 blockAlign;
        int frames;
    } cases[] = {{2, 2, 1000}, {3, 3, 700}, {4, 4, 300}};

    for (const auto &c : cases) {
        SCOPED_TRACE(c.channels);
        WavFields f;
        f.channels = c.channels;
        f.blockAlign = c.blockAlign;
        const QByteArray data = ramp(c.frames * c.blockAlign);
        WAV_Reader reader;
        ASSERT_EQ(reader.OpenFILE(write(wavBytes(f, data))), 0);
        QByteArray expected;
        for (int k = 0; k < c.frames; ++k)
            expected.append(data.at(k * c.blockAlign));
        EXPECT_EQ(reader.getSamples(), expected);
        EXPECT_EQ(reader.GetAudioData_16ms(), expected.left(512));
    }
}

TEST_F(WavReaderTest, FilesThatAreNotCanonical8BitWavAreRefusedWithTheirCode)
{
    const auto with = [](const std::function<void(WavFields &)> &change) {
        WavFields f;
        change(f);
        return f;
    };
    const QByteArray good = wavBytes(WavFields(), ramp(1000));
    const struct {
        const char *name;
        QByteArray bytes;
        int code;
    } cases[] = {
        {"not RIFF", wavBytes(with([](WavFields &f) { f.riff = "RIFX"; }), ramp(1000)), 2},
        {"not WAVE", wavBytes(with([](WavFields &f) { f.wave = "AVI "; }), ramp(1000)), 2},
        {"no fmt chunk", wavBytes(with([](WavFields &f) { f.fmt = "fmt_"; }), ramp(1000)), 2},
        {"empty file", QByteArray(), 2},
        {"cut inside the format chunk", good.left(30), 2},
        {"cut before the data size", good.left(40), 2},
        {"list chunk before data",
         wavBytes(with([](WavFields &f) { f.between = "LIST" + le32(4) + "INFO"; }), ramp(1000)),
         4},
        {"data chunk misnamed", wavBytes(with([](WavFields &f) { f.dataId = "DATA"; }), ramp(10)),
         4},
        {"16 bits", wavBytes(with([](WavFields &f) { f.bits = 16; }), ramp(1000)), 5},
        {"0 bits", wavBytes(with([](WavFields &f) { f.bits = 0; }), ramp(1000)), 5},
        {"announces 4000, holds 3000",
         wavBytes(with([](WavFields &f) { f.dataSize = 4000; }), ramp(3000)), 6},
        {"stereo with the frame size of mono",
         wavBytes(with([](WavFields &f) { f.channels = 2; }), ramp(2000)), 6},
        {"no channels", wavBytes(with([](WavFields &f) { f.channels = 0; }), ramp(1000)), 7},
        {"two channels, frame size 0",
         wavBytes(with([](WavFields &f) {
                      f.channels = 2;
                      f.blockAlign = 0;
                  }),
                  ramp(1000)),
         7},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        WAV_Reader reader;
        EXPECT_EQ(reader.OpenFILE(write(c.bytes)), c.code);
    }

    WAV_Reader reader;
    EXPECT_EQ(reader.OpenFILE(dir.filePath(QStringLiteral("missing.wav"))), 1);
}

// Opens the file with no more than 256 MB of address space to spare, and ends the process with
// the reader's code.
[[noreturn]] void openWithLittleMemoryAndExit(const QString &path)
{
    std::ifstream statm("/proc/self/statm");
    unsigned long pages = 0;
    statm >> pages;
    const rlim_t limit = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) +
                         (rlim_t(256) << 20);
    const rlimit cap{limit, limit};
    setrlimit(RLIMIT_AS, &cap);
    WAV_Reader reader;
    _exit(reader.OpenFILE(path));
}

TEST_F(WavReaderTest, AHeaderClaimingFourGigabytesAllocatesNothingLikeIt)
{
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    WavFields f;
    f.dataSize = 0xFFFFFFF0;
    const QString path = write(wavBytes(f, ramp(1000)));

    // A buffer sized by the header would fail to allocate and end the process otherwise than
    // with the reader's code.
    EXPECT_EXIT(openWithLittleMemoryAndExit(path), ::testing::ExitedWithCode(6), "");
}

}  // namespace
