// The WAV reader on any file: the input is written to a file that OpenFILE() loads.
//
// Checked against a plain reading of the canonical 44-byte header: the result code, the header
// fields, the samples (the first channel of every frame) and their count; then the 16 ms chunks
// handed out cover the samples exactly once, in order, and retry() starts them again.

#include "fuzzsupport.h"

#include "config/wav_reader.h"

#include <QFile>
#include <QTemporaryDir>

#include <memory>

namespace {

quint32 le32(const QByteArray &b, int at) {
    quint32 v = 0;
    for (int i = 3; i >= 0; --i)
        v = v << 8 | static_cast<quint8>(b.at(at + i));
    return v;
}

quint16 le16(const QByteArray &b, int at) {
    return static_cast<quint16>(static_cast<quint8>(b.at(at)) | static_cast<quint8>(b.at(at + 1))
                                                                    << 8);
}

QString path() {
    static std::unique_ptr<QTemporaryDir> dir(new QTemporaryDir);
    return dir->filePath(QStringLiteral("input.wav"));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    Fuzz::initQt();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QByteArray file(reinterpret_cast<const char *>(data), static_cast<int>(size));
    {
        QFile out(path());
        FUZZ_CHECK(out.open(QIODevice::WriteOnly | QIODevice::Truncate), path());
        FUZZ_CHECK(out.write(file) == file.size(), path());
    }

    WAV_Reader reader;
    const int result = reader.OpenFILE(path());
    const QString context =
        QStringLiteral(" (result %1, file %2)").arg(result).arg(Fuzz::hex(file, 48));

    if (file.size() < WAV_Reader::headerSize) {
        FUZZ_CHECK(result != WAV_Reader::OPENED, QStringLiteral("a cut header loaded") + context);
        return 0;
    }

    const WAV_HEADER &h = reader.getHeader();
    FUZZ_CHECK(h.chunkId == le32(file, 0) && h.chunkSize == le32(file, 4) &&
                   h.format == le32(file, 8) && h.subchunk1Id == le32(file, 12) &&
                   h.subchunk1Size == le32(file, 16) && h.audioFormat == le16(file, 20) &&
                   h.numChannels == le16(file, 22) && h.sampleRate == le32(file, 24) &&
                   h.byteRate == le32(file, 28) && h.blockAlign == le16(file, 32) &&
                   h.bitsPerSample == le16(file, 34) && h.subchunk2Id == le32(file, 36) &&
                   h.subchunk2Size == le32(file, 40),
               QStringLiteral("header fields") + context);

    int expected = WAV_Reader::OPENED;
    QByteArray samples;
    if (h.chunkId != WAV_Reader::riff || h.format != WAV_Reader::wave ||
        h.subchunk1Id != WAV_Reader::fmt) {
        expected = WAV_Reader::NOT_RIFF_WAVE;
    } else if (h.subchunk2Id != WAV_Reader::data) {
        expected = WAV_Reader::NO_DATA_CHUNK;
    } else if (h.bitsPerSample != 8) {
        expected = WAV_Reader::NOT_8_BIT;
    } else if (h.numChannels == 0 || (h.numChannels != 1 && h.blockAlign == 0)) {
        FUZZ_CHECK(result != WAV_Reader::OPENED, QStringLiteral("no channels loaded") + context);
        return 0;
    } else {
        const QByteArray body =
            file.mid(WAV_Reader::headerSize)
                .left(static_cast<int>(qMin<quint32>(
                    h.subchunk2Size, static_cast<quint32>(file.size() - WAV_Reader::headerSize))));
        const int step = h.numChannels == 1 ? 1 : h.blockAlign;
        for (int i = 0; i < body.size(); i += step)
            samples.append(body.at(i));
        if (h.subchunk2Size / h.numChannels != static_cast<quint32>(samples.size()))
            expected = WAV_Reader::SIZE_MISMATCH;
    }
    FUZZ_CHECK(result == expected, QStringLiteral("expected %1").arg(expected) + context);
    if (result != WAV_Reader::OPENED)
        return 0;
    FUZZ_CHECK(reader.getSamples() == samples, QStringLiteral("samples") + context);

    // The chunks cover the samples once, in order; then nothing until retry().
    const int length = static_cast<int>((quint32(h.bitsPerSample) * h.sampleRate / 8 * 16) / 1000);
    QByteArray joined;
    int calls = 0;
    for (;;) {
        const QByteArray chunk = reader.GetAudioData_16ms();
        FUZZ_CHECK(chunk.size() <= length,
                   QStringLiteral("chunk of %1").arg(chunk.size()) + context);
        if (chunk.isEmpty())
            break;
        FUZZ_CHECK(++calls <= samples.size(), QStringLiteral("chunks without end") + context);
        joined.append(chunk);
    }
    FUZZ_CHECK(joined == (length > 0 ? samples : QByteArray()), QStringLiteral("chunks") + context);
    FUZZ_CHECK(reader.GetAudioData_16ms().isEmpty(), QStringLiteral("after the end") + context);
    reader.retry();
    FUZZ_CHECK(reader.GetAudioData_16ms() == samples.left(length),
               QStringLiteral("retry") + context);
    return 0;
}
