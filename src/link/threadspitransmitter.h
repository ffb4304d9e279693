#pragma once
// The transfer thread: its timer runs one transfer cycle every period. The thread object lives
// in the main thread, which starts and stops it; the transmitter and its parsers live in the
// transfer thread.

#include "base/cycleoverruns.h"
#include "base/pimutex.h"
#include "base/timerthread.h"

#include <mutex>

class Board;
class FrameSink;
class Settings;
class SPIconnector;
class SPItransmitter;

class ThreadSpiTransmitter : public TimerThread
{
    Q_OBJECT

public:
    ThreadSpiTransmitter(quint32 period, Settings *settings, FrameSink *parsers,
                         SPIconnector **links, Board *board, PiMutex *mutex);
    // Stops the thread if it runs and releases the transmitter.
    ~ThreadSpiTransmitter() override;

    // Ends the thread after its current cycle, waits for it, then resets the link records' flags
    // and error controllers (their queues stay).
    void stop();
    SPItransmitter *getTransmitter() const { return transmitter; }
    // Cycles that came late or whose transfers took longer than the period, over the process's
    // life.
    const CycleOverruns &overruns() const { return cycleOverruns; }

Q_SIGNALS:
    void emergency_restart();

public Q_SLOTS:
    void restart();

protected Q_SLOTS:
    void slotTimeOut() override;

private:
    SPItransmitter *transmitter;  // owned; lives in the transfer thread
    Board *board;
    CycleOverruns cycleOverruns;  // used in the transfer thread; totals read anywhere
};
