#pragma once
// Audio from the host to one shield: while the shield plays, datagrams to 127.0.0.1:port are
// taken as one byte stream, cut into 512-byte blocks and queued as 528-byte long packets on the
// shield's audio queue, whose jitter buffer keeps the delay short. Lives in the main thread; the
// transfer thread takes the packets under the queue's mutex. `streamMutex` guards `pending`.
// The blocks the queue lets go are told on standard error, at most once every few seconds.
// A port that another program holds when the shield starts to play is told once on standard error
// and tried again every second until it is free or the shield stops; the call's host audio would
// otherwise be lost without a word.

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>

class Board;
class AudioQueue;
struct LinkCounters;
class QMutex;
class QTimer;
class QUdpSocket;

class UDPread : public QObject
{
    Q_OBJECT

public:
    static constexpr int blockSize = 512;
    static constexpr int overflowLimit = 5120;
    static constexpr qint64 dropReportIntervalMs = 5000;
    static constexpr int bindRetryMs = 1000;

    UDPread(QObject *parent, QMutex *streamMutex, quint16 port, AudioQueue *audioQueue,
            Board *board);

    int pendingBytes() const { return pending.size(); }
    bool isListening() const;
    // Blocks the audio queue let go since the driver started.
    quint64 droppedPackets() const;
    // Where blocks queued and refused are counted (the shield's link record); none by default.
    void setCounters(LinkCounters *linkCounters) { counters = linkCounters; }
    // The least time between two reports of lost blocks, and between two overflow lines of a
    // call (dropReportIntervalMs unless a test wants another).
    void setDropReportInterval(qint64 ms) { dropReportMs = ms; }

public Q_SLOTS:
    void udpStart();
    void udpStop();
    void writeBufUDP();

private:
    void listen();
    void queueBlock(const QByteArray &block);
    void reportDrops();

    QUdpSocket *socket;
    QTimer *bindRetry;
    QTimer *reportLater;  // runs while a loss waits to be told
    Board *board;
    QByteArray pending;
    QMutex *streamMutex;
    quint16 port;
    AudioQueue *audioQueue;
    LinkCounters *counters = nullptr;
    quint64 droppedReported = 0;
    qint64 dropReportMs = dropReportIntervalMs;
    QElapsedTimer sinceReport;
    QElapsedTimer overflowTold;  // since the last overflow line of this call
};
