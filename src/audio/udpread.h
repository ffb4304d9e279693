#pragma once
// Audio from the host to one shield: while the shield plays, datagrams to 127.0.0.1:port are
// taken as one byte stream, cut into 512-byte blocks and queued as 528-byte long packets on the
// shield's audio queue. Lives in the main thread; the transfer thread takes the packets under the
// queue's mutex. `streamMutex` guards `pending`.
// A port that another program holds when the shield starts to play is told once on standard error
// and tried again every second until it is free or the shield stops; the call's host audio would
// otherwise be lost without a word.

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>

class Board;
class DataTransmission;
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
    // Packets kept queued at most (about half a second of audio); beyond it the oldest go, so a
    // host that sends too fast cannot make the audio lag without end.
    static constexpr int queueLimit = 32;
    static constexpr qint64 dropReportIntervalMs = 5000;
    static constexpr int bindRetryMs = 1000;

    UDPread(QObject *parent, QMutex *streamMutex, quint16 port, DataTransmission *audioQueue,
            Board *board);

    int pendingBytes() const { return pending.size(); }
    bool isListening() const;
    quint64 droppedPackets() const { return dropped; }
    // Where blocks queued and dropped are counted (the shield's link record); none by default.
    void setCounters(LinkCounters *linkCounters) { counters = linkCounters; }

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
    Board *board;
    QByteArray pending;
    QMutex *streamMutex;
    quint16 port;
    DataTransmission *audioQueue;
    LinkCounters *counters = nullptr;
    quint64 dropped = 0;
    quint64 droppedReported = 0;
    QElapsedTimer sinceReport;
};
