#include "shield/threadshieldhandler.h"

#include "shield/shielhandler.h"

ThreadShieldHandler::ThreadShieldHandler(unsigned period, Settings *settings, SPIcommand *command,
                                         SPIconnector **links, PiMutex *linkMutex, Board *board)
    : TimerThread(period),
      handler(new ShielHandler(nullptr, settings, command, links, linkMutex, board))
{
    setObjectName(QStringLiteral("stm-supervisor"));  // the OS thread's name too (top -H, ps -L)
    connect(handler, &ShielHandler::play_sound, this, &ThreadShieldHandler::play_sound);
    handler->moveToThread(this);
}

ThreadShieldHandler::~ThreadShieldHandler()
{
    stop();
    delete handler;
}

void ThreadShieldHandler::stop()
{
    quitAndWait();
}

void ThreadShieldHandler::restart()
{
    stop();
    start(QThread::InheritPriority);
}

void ThreadShieldHandler::slotTimeOut()
{
    handler->main_func();
}
