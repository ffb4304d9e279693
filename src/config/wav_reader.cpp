#include "config/wav_reader.h"

#include <QFile>

QDataStream &operator>>(QDataStream &in, WAV_HEADER &h)
{
    in >> h.chunkId >> h.chunkSize >> h.format >> h.subchunk1Id >> h.subchunk1Size >>
        h.audioFormat >> h.numChannels >> h.sampleRate >> h.byteRate >> h.blockAlign >>
        h.bitsPerSample >> h.subchunk2Id >> h.subchunk2Size;
    return in;
}

QDataStream &operator<<(QDataStream &out, const WAV_HEADER &h)
{
    out << h.chunkId << h.chunkSize << h.format << h.subchunk1Id << h.subchunk1Size << h.audioFormat
        << h.numChannels << h.sampleRate << h.byteRate << h.blockAlign << h.bitsPerSample
        << h.subchunk2Id << h.subchunk2Size;
    return out;
}

int WAV_Reader::OpenFILE(QString fileName)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        return CANNOT_OPEN;

    // A file shorter than the header leaves the missing fields 0. It has no canonical header
    // at all, whichever of its first fields happen to be there, so it is no RIFF WAVE file:
    // otherwise a file cut after its "data" tag would load as an empty sound.
    QByteArray head = file.read(headerSize);
    const bool wholeHeader = head.size() == headerSize;
    head.append(QByteArray(headerSize - head.size(), '\0'));
    QDataStream stream(head);
    stream.setByteOrder(QDataStream::LittleEndian);
    header = WAV_HEADER();
    stream >> header;

    if (!wholeHeader || header.chunkId != riff || header.format != wave ||
        header.subchunk1Id != fmt)
        return NOT_RIFF_WAVE;
    if (header.subchunk2Id != data)
        return NO_DATA_CHUNK;
    if (header.bitsPerSample != 8)
        return NOT_8_BIT;
    if (header.numChannels == 0 || (header.numChannels != 1 && header.blockAlign == 0))
        return BAD_CHANNELS;

    // Never ask for more than the file holds, whatever the header claims.
    const qint64 available = file.size() - file.pos();
    const QByteArray bytes = file.read(
        qMin<qint64>(static_cast<qint64>(header.subchunk2Size), qMax<qint64>(available, 0)));
    if (header.numChannels == 1) {
        samples = bytes;
    } else {
        samples.clear();
        samples.reserve(bytes.size() / header.blockAlign + 1);
        for (int offset = 0; offset < bytes.size(); offset += header.blockAlign)
            samples.append(bytes.at(offset));
    }
    if (header.subchunk2Size / header.numChannels != static_cast<quint32>(samples.size()))
        return SIZE_MISMATCH;
    position = 0;
    chunkLength = 0;
    return OPENED;
}

QByteArray WAV_Reader::GetAudioData_16ms()
{
    const quint32 length = ((quint32(header.bitsPerSample) * header.sampleRate) / 8 * 16) / 1000;
    chunkLength = static_cast<qint32>(length);
    QByteArray chunk;
    if (position >= 0 && position < samples.size()) {
        chunk = samples.mid(position, chunkLength);
        // At most to the end: from there every call returns nothing until retry(), and endless
        // calls cannot overflow the position.
        position = static_cast<qint32>(
            qMin<qint64>(qint64(position) + chunkLength, qint64(samples.size())));
    }
    return chunk;
}

void WAV_Reader::retry()
{
    position = 0;
    chunkLength = 0;
}
