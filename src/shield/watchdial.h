#pragma once
// The dial-flood detector shared by all shields. Owned by the transfer thread (a child of the
// parsers); only the event parser calls into it, from that thread, so its fields need no lock.
// Its timer must stay in the thread that calls DialDetect(), or it would never run.

#include <QObject>
#include <QtGlobal>

class QTimer;

class WatchDial : public QObject
{
    Q_OBJECT
public:
    // A chain of dial or key events less than intervalMs apart is a burst; the event that brings
    // the count of a burst (not counting its first event) to limit declares the flood.
    WatchDial(int intervalMs, quint8 limit, QObject *parent = nullptr);

    // Counts one dial or key event; writes the flood line once when the flood is declared.
    void DialDetect();
    // True once a flood was declared; nothing ever clears it.
    bool IsFlood() const { return flood; }
    // Events counted in the current burst after its first one.
    quint8 getCount() const { return count; }

private:
    bool flood = false;
    QTimer *timer;  // runs while a burst is in progress; only whether it runs matters
    quint8 count = 0;
    quint8 limit;
};
