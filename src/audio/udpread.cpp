#include "audio/udpread.h"

#include "base/console.h"
#include "board/board.h"
#include "link/audioqueue.h"
#include "link/frame.h"
#include "link/linkcounters.h"

#include <QHostAddress>
#include <QMutexLocker>
#include <QTimer>
#include <QUdpSocket>

UDPread::UDPread(QObject *parent, QMutex *streamMutex, quint16 port, AudioQueue *audioQueue,
                 Board *board)
    : QObject(parent),
      socket(new QUdpSocket(this)),
      bindRetry(new QTimer(this)),
      reportLater(new QTimer(this)),
      board(board),
      streamMutex(streamMutex),
      port(port),
      audioQueue(audioQueue)
{
    connect(socket, &QUdpSocket::readyRead, this, &UDPread::writeBufUDP);
    bindRetry->setInterval(bindRetryMs);
    connect(bindRetry, &QTimer::timeout, this, &UDPread::listen);
    reportLater->setSingleShot(true);
    connect(reportLater, &QTimer::timeout, this, &UDPread::reportDrops);
}

quint64 UDPread::droppedPackets() const
{
    return audioQueue->letGo();
}

bool UDPread::isListening() const
{
    return socket->state() == QAbstractSocket::BoundState;
}

void UDPread::udpStart()
{
    if (!isListening() && !bindRetry->isActive()) {
        overflowTold.invalidate();
        listen();
    }
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
    {
        QMutexLocker lock(streamMutex);
        pending.clear();
        audioQueue->endCall();
    }
    reportDrops();
}

void UDPread::writeBufUDP()
{
    board->gpio_set_debug(1);
    while (socket->hasPendingDatagrams()) {
        const qint64 size = socket->pendingDatagramSize();
        if (size < 0)
            break;
        if (pending.size() + size > overflowLimit) {
            // Told for the first such datagram of a call, then once an interval at most: a host
            // that sends only oversized datagrams must not fill the log at its own pace.
            if (!overflowTold.isValid() || overflowTold.elapsed() >= dropReportMs) {
                Console::err.line(
                    QStringLiteral("ERROR: Переполнение буффера более чем в 10 раз!"));
                overflowTold.start();
            }
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
    audioQueue->push(packet);
    if (counters)
        LinkCounters::add(counters->audio_blocks_in);
}

void UDPread::reportDrops()
{
    // The transfer thread lets blocks go in its own time; what it let go since the last look is
    // told now, or once the interval since the last report is over.
    const quint64 dropped = droppedPackets();
    if (dropped == droppedReported)
        return;
    const qint64 since = sinceReport.isValid() ? sinceReport.elapsed() : dropReportMs;
    if (since < dropReportMs) {
        if (!reportLater->isActive())
            reportLater->start(static_cast<int>(dropReportMs - since));
        return;
    }
    Console::err.line(QStringLiteral("#WARNING: UDP audio on port ") + QString::number(port) +
                      QStringLiteral(": ") + QString::number(dropped - droppedReported) +
                      QStringLiteral(" packets dropped, the host sends faster than the shield "
                                     "plays (512 bytes per 16 ms)"));
    droppedReported = dropped;
    sinceReport.start();
}
