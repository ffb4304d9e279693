#include "audio/udpread.h"

#include "base/console.h"
#include "board/board.h"
#include "link/datatransmission.h"
#include "link/frame.h"
#include "link/linkcounters.h"

#include <QHostAddress>
#include <QMutexLocker>
#include <QUdpSocket>

UDPread::UDPread(QObject *parent, QMutex *streamMutex, quint16 port, DataTransmission *audioQueue,
                 Board *board)
    : QObject(parent),
      socket(new QUdpSocket(this)),
      board(board),
      streamMutex(streamMutex),
      port(port),
      audioQueue(audioQueue)
{
    connect(socket, &QUdpSocket::readyRead, this, &UDPread::writeBufUDP);
}

bool UDPread::isListening() const
{
    return socket->state() == QAbstractSocket::BoundState;
}

void UDPread::udpStart()
{
    if (!isListening())
        socket->bind(QHostAddress(QHostAddress::LocalHost), port);
}

void UDPread::udpStop()
{
    socket->abort();
    QMutexLocker lock(streamMutex);
    pending.clear();
    audioQueue->clear();
}

void UDPread::writeBufUDP()
{
    board->gpio_set_debug(1);
    while (socket->hasPendingDatagrams()) {
        const qint64 size = socket->pendingDatagramSize();
        if (size < 0)
            break;
        if (pending.size() + size > overflowLimit) {
            Console::err.line(
                QStringLiteral("ERROR: Переполнение буффера более чем в 10 раз!"));
            socket->readDatagram(nullptr, 0);
            if (counters) {
                LinkCounters::add(counters->audio_dropped,
                                  static_cast<quint64>((size + blockSize - 1) / blockSize));
            }
            break;
        }
        QByteArray datagram(static_cast<int>(size), '\0');
        const qint64 got = socket->readDatagram(datagram.data(), size);
        if (got < 0)
            break;  // a failed read must not put made-up bytes into the stream
        datagram.truncate(static_cast<int>(got));
        QMutexLocker lock(streamMutex);
        pending.append(datagram);
        while (pending.size() >= blockSize) {
            queueBlock(pending.left(blockSize));
            pending.remove(0, blockSize);
        }
    }
    reportDrops();
    board->gpio_set_debug(0);
}

void UDPread::queueBlock(const QByteArray &block)
{
    QByteArray packet(Frame::longSize, '\0');
    packet.replace(Frame::audioOffset, blockSize, block);
    const int gone = audioQueue->appendBounded(packet, queueLimit);
    dropped += static_cast<quint64>(gone);
    if (counters) {
        LinkCounters::add(counters->audio_blocks_in);
        LinkCounters::add(counters->audio_dropped, static_cast<quint64>(gone));
    }
}

void UDPread::reportDrops()
{
    if (dropped == droppedReported)
        return;
    if (sinceReport.isValid() && sinceReport.elapsed() < dropReportIntervalMs)
        return;
    Console::err.line(QStringLiteral("#WARNING: UDP audio on port ") + QString::number(port) +
                      QStringLiteral(": ") + QString::number(dropped - droppedReported) +
                      QStringLiteral(" packets dropped, the host sends faster than the shield "
                                     "plays (512 bytes per 16 ms)"));
    droppedReported = dropped;
    sinceReport.start();
}
