#pragma once
// The supervisor thread: it ticks on a grid of one period, but sleeps until the next tick at which
// the handler has something to do; the threads that hand it work (a reply parsed, a shield lost,
// a list push asked for) wake it to the next grid tick through the settings' supervisor wake
// line. The thread object lives in the main thread, which starts and stops it; the handler lives
// in the supervisor thread.

#include "base/pimutex.h"
#include "base/timerthread.h"

#include <mutex>

class Board;
class Settings;
class ShielHandler;
class SPIcommand;
class SPIconnector;

class ThreadShieldHandler : public TimerThread
{
    Q_OBJECT

public:
    ThreadShieldHandler(unsigned period, Settings *settings, SPIcommand *command,
                        SPIconnector **links, PiMutex *linkMutex, Board *board);
    // Stops the thread if it runs, takes it off the wake line and releases the handler.
    ~ThreadShieldHandler() override;

    // Ends the thread after its current tick and waits for it; the handler's counts keep the
    // ticks it slept through until then.
    void stop();
    ShielHandler *getHandler() const { return handler; }

Q_SIGNALS:
    void play_sound(bool value, uchar addressShield);

public Q_SLOTS:
    void restart();

protected:
    quint64 ticksUntilWork() override;

protected Q_SLOTS:
    void slotTimeOut() override;

private:
    ShielHandler *handler;  // owned; lives in the supervisor thread
    Settings *settings;
};
