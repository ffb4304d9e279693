#include "audio/udpread.h"

#include "base/console.h"
#include "board/board.h"
#include "link/datatransmission.h"
#include "link/frame.h"
#include "link/linkcounters.h"

#include <QHostAddress>
#include <QMutexLocker>
#include <QTimer>
#include <QUdpSocket>

UDPread::UDPread(QObject *parent, QMutex *streamMutex, quint16 port, DataTransmission *audioQueue,
                 Board *board)
    : QObject(parent),
      socket(new QUdpSocket(this)),
      bindRetry(new QTimer(this)),
      board(board),
      streamMutex(streamMutex),
      port(port),
      audioQueue(audioQueue)
{
    connect(socket, &QUdpSocket::readyRead, this, &UDPread::writeBufUDP);
    bindRetry->setInterval(bindRetryMs);
    connect(bindRetry, &QTimer::timeout, this, &UDPread::listen);
}

bool UDPread::isListening() const
{
    return socket->state() == QAbstractSocket::BoundState;
}

void UDPread::udpStart()
{
    if (!isListening() && !bindRetry->isActive())
        listen();
}

void UDPread::listen()
{
    // The retry timer runs from the first failure, told then, to the bind or the stop.
    const bool retrying = bindRetry->isActive();
    const QString where = QStringLiteral("#WARNING: UDP audio on port ") + QString::number(port);
    if (socket->bind(QHostAddress(QHostAddress::LocalHost), port)) {
        bindRetry->stop();
        if (retrying)
            Console::err.line(where + QStringLiteral(": listening now"));
        return;
    }
    const QString reason = socket->errorString();
    socket->abort();
    if (!retrying) {
        bindRetry->start();
        Console::err.line(where + QStringLiteral(": cannot listen (") + reason +
                          QStringLiteral("); the host's audio to this shield is lost until the "
                                         "port is free, tried again every second"));
    }
}

void UDPread::udpStop()
{
    bindRetry->stop();
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
