#pragma once
// Loads an 8-bit WAV file given with "-wav" at start-up, checks its canonical 44-byte header and
// keeps its first channel in memory, handed out in 16 ms chunks. Used by the main thread only.

#include <QByteArray>
#include <QDataStream>
#include <QString>

struct WAV_HEADER {
    quint32 chunkId = 0;
    quint32 chunkSize = 0;
    quint32 format = 0;
    quint32 subchunk1Id = 0;
    quint32 subchunk1Size = 0;
    quint16 audioFormat = 0;
    quint16 numChannels = 0;
    quint32 sampleRate = 0;
    quint32 byteRate = 0;
    quint16 blockAlign = 0;
    quint16 bitsPerSample = 0;
    quint32 subchunk2Id = 0;
    quint32 subchunk2Size = 0;
};

QDataStream &operator>>(QDataStream &in, WAV_HEADER &header);
QDataStream &operator<<(QDataStream &out, const WAV_HEADER &header);

class WAV_Reader
{
public:
    // Results of OpenFILE.
    enum Result : int {
        OPENED = 0,
        CANNOT_OPEN = 1,
        NOT_RIFF_WAVE = 2,  // also a file shorter than the 44-byte header
        NO_DATA_CHUNK = 4,
        NOT_8_BIT = 5,
        SIZE_MISMATCH = 6,
        BAD_CHANNELS = 7,  // no channels, or several with no frame size
    };
    static constexpr quint32 riff = 0x46464952;
    static constexpr quint32 wave = 0x45564157;
    static constexpr quint32 fmt = 0x20746D66;
    static constexpr quint32 data = 0x61746164;
    static constexpr int headerSize = 44;

    // Loads the file; 0 when loaded, otherwise a Result naming the failure. Prints nothing.
    int OpenFILE(QString fileName);
    // The next 16 ms of samples: fewer at the end, none once past it.
    QByteArray GetAudioData_16ms();
    // Back to the first sample.
    void retry();

    const WAV_HEADER &getHeader() const { return header; }
    const QByteArray &getSamples() const { return samples; }

private:
    qint32 position = 0;
    qint32 chunkLength = 0;
    QByteArray samples;
    WAV_HEADER header;
};
