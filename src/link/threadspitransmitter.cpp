#include "link/threadspitransmitter.h"

#include "link/spitransmitter.h"

ThreadSpiTransmitter::ThreadSpiTransmitter(quint32 period, Settings *settings, FrameSink *parsers,
                                           SPIconnector **links, Board *board, std::mutex *mutex)
    : TimerThread(period),
      transmitter(new SPItransmitter(nullptr, settings, parsers, links, board, mutex))
{
    connect(transmitter, &SPItransmitter::emergency_restart, this,
            &ThreadSpiTransmitter::emergency_restart);
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
    transmitter->main_func();
}
