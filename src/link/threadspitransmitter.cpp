#include "link/threadspitransmitter.h"

#include "base/console.h"
#include "board/board.h"
#include "link/spitransmitter.h"

#include <chrono>

ThreadSpiTransmitter::ThreadSpiTransmitter(quint32 period, Settings *settings, FrameSink *parsers,
                                           SPIconnector **links, Board *board, PiMutex *mutex)
    : TimerThread(period),
      transmitter(new SPItransmitter(nullptr, settings, parsers, links, board, mutex)),
      board(board),
      cycleOverruns(QStringLiteral("transfer cycle"), std::chrono::milliseconds(period))
{
    setObjectName(QStringLiteral("stm-transfer"));  // the OS thread's name too (top -H, ps -L)
    connect(transmitter, &SPItransmitter::emergency_restart, this,
            &ThreadSpiTransmitter::emergency_restart);
    transmitter->busBudget().setPeriodUs(period * 1000);
    transmitter->moveToThread(this);
}

ThreadSpiTransmitter::~ThreadSpiTransmitter()
{
    // The transmitter belongs to the transfer thread: a running thread deletes it itself once
    // its event loop has ended.
    if (isRunning()) {
        connect(this, &QThread::finished, transmitter, &QObject::deleteLater,
                Qt::DirectConnection);
        quitAndWait();
    } else {
        delete transmitter;
    }
}

void ThreadSpiTransmitter::stop()
{
    quitAndWait();
    transmitter->to_null();
}

void ThreadSpiTransmitter::restart()
{
    stop();
    start(QThread::InheritPriority);
}

void ThreadSpiTransmitter::slotTimeOut()
{
    const CycleOverruns::Clock::time_point start = CycleOverruns::Clock::now();
    transmitter->main_func();
    const QString late = cycleOverruns.cycle(start, CycleOverruns::Clock::now(), tickExpirations());
    if (!late.isEmpty())
        Console::err.line(late);
    // The board's failure reports are due on the same clock: a burst that stopped is told once
    // its interval has passed.
    board->flushReports();
}
