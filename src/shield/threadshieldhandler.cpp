#include "shield/threadshieldhandler.h"

#include "config/settings.h"
#include "shield/shielhandler.h"

ThreadShieldHandler::ThreadShieldHandler(unsigned period, Settings *settings, SPIcommand *command,
                                         SPIconnector **links, PiMutex *linkMutex, Board *board)
    : TimerThread(period),
      handler(new ShielHandler(nullptr, settings, command, links, linkMutex, board)),
      settings(settings)
{
    setObjectName(QStringLiteral("stm-supervisor"));  // the OS thread's name too (top -H, ps -L)
    connect(handler, &ShielHandler::play_sound, this, &ThreadShieldHandler::play_sound);
    handler->moveToThread(this);
    settings->supervisorWake.attach(&timer());
}

ThreadShieldHandler::~ThreadShieldHandler()
{
    settings->supervisorWake.detach();
    stop();
    delete handler;
}

void ThreadShieldHandler::stop()
{
    const bool ran = isRunning();
    quitAndWait();
    // Stopped while asleep: the counts keep the ticks of the run since its last tick, as they
    // kept every tick's.
    if (ran)
        handler->skipTicks(timer().takeEnded());
}

void ThreadShieldHandler::restart()
{
    stop();
    start(QThread::InheritPriority);
}

quint64 ThreadShieldHandler::ticksUntilWork()
{
    return handler->ticksUntilDue();
}

void ThreadShieldHandler::slotTimeOut()
{
    handler->skipTicks(tickExpirations() - 1);
    handler->main_func();
}
