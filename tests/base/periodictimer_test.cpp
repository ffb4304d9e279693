// The periodic timer behind the timer threads: it ticks in the loop of its own thread, stops and
// restarts with another period, and a loop that was kept busy gets one time-out for all the
// periods it missed, never a burst.

#include "base/periodictimer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <gtest/gtest.h>

namespace {

// Runs the calling thread's event loop for about `ms` milliseconds.
void spin(int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

}  // namespace

TEST(PeriodicTimer, TicksUntilStoppedAndRestartsWithANewPeriod)
{
    PeriodicTimer timer;
    int ticks = 0;
    QObject::connect(&timer, &PeriodicTimer::timeout, [&ticks] { ++ticks; });
    EXPECT_FALSE(timer.isActive());

    timer.start(200);
    spin(1100);
    const int slow = ticks;
    EXPECT_GE(slow, 1);
    EXPECT_LE(slow, 8);  // about 5; the bounds only separate the orders of magnitude

    timer.start(5);
    EXPECT_TRUE(timer.isActive());
    spin(1000);
    EXPECT_GE(ticks - slow, 40);  // about 200

    timer.stop();
    EXPECT_FALSE(timer.isActive());
    spin(20);  // a time-out that was already on its way
    const int stopped = ticks;
    spin(300);
    EXPECT_EQ(ticks, stopped);
}

TEST(PeriodicTimer, MissedPeriodsGiveOneTimeOut)
{
    PeriodicTimer timer;
    int ticks = 0;
    QObject::connect(&timer, &PeriodicTimer::timeout, [&ticks] { ++ticks; });
    timer.start(5);
    QThread::msleep(200);  // some 40 periods pass while the loop is busy elsewhere
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    EXPECT_EQ(ticks, 1);
    EXPECT_GE(timer.expirations(), 20u);  // yet it says how many periods that one stands for
}

TEST(PeriodicTimer, StoppedBeforeItsLoopRanGivesNothing)
{
    PeriodicTimer timer;
    int ticks = 0;
    QObject::connect(&timer, &PeriodicTimer::timeout, [&ticks] { ++ticks; });
    timer.start(5);
    QThread::msleep(50);  // expired, not yet seen by the loop
    timer.stop();
    spin(100);
    EXPECT_EQ(ticks, 0);
}
