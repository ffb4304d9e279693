// Tick-counted timers and the periodic timer thread: when a timer fires, how stop, restart and
// one-pulse interact, the timer thread's period, restart and period change, and how cycles that
// overran their period are told. The grid timer the thread sleeps on, and the wake-ups other
// threads give it.

#include "base/cycleoverruns.h"
#include "base/gridtimer.h"
#include "base/softwaretimer.h"
#include "base/timerthread.h"

#include <QElapsedTimer>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <future>
#include <thread>
#include <vector>

namespace {

// ---------------------------------------------------------------------------------------------
// SoftwareTimer

class CountingTimer : public SoftwareTimer
{
public:
    void handler() override
    {
        ++fired;
        if (onFire)
            onFire(*this);
    }
    int fired = 0;
    std::function<void(CountingTimer &)> onFire;
};

// The ticks (1-based) on which the timer fired during `ticks` steps.
std::vector<int> firings(SoftwareTimer &t, int ticks)
{
    std::vector<int> at;
    for (int i = 1; i <= ticks; ++i) {
        if (t.tick())
            at.push_back(i);
    }
    return at;
}

class SoftwareTimerPeriod : public ::testing::TestWithParam<int> {};

TEST_P(SoftwareTimerPeriod, FiresOnMultiplesOfThePeriod)
{
    const int n = GetParam();
    CountingTimer t;
    t.start(static_cast<quint32>(n));
    EXPECT_EQ(firings(t, 3 * n + n - 1), (std::vector<int>{n, 2 * n, 3 * n}));
    EXPECT_EQ(t.fired, 3);
    EXPECT_EQ(t.getCount(), static_cast<quint32>(n - 1));
    EXPECT_TRUE(t.isRunning());
}

INSTANTIATE_TEST_SUITE_P(Periods, SoftwareTimerPeriod, ::testing::Values(1, 2, 5, 312));

TEST(SoftwareTimer, StartOneFiresEveryTick)
{
    CountingTimer t;
    t.start(1);
    for (int i = 0; i < 10; ++i)
        EXPECT_TRUE(t.tick()) << i;
    EXPECT_EQ(t.fired, 10);
}

TEST(SoftwareTimer, NewTimerIsStopped)
{
    CountingTimer t;
    EXPECT_FALSE(t.isRunning());
    EXPECT_TRUE(firings(t, 20).empty());
    EXPECT_EQ(t.getCount(), 0u);
    EXPECT_EQ(t.fired, 0);
}

TEST(SoftwareTimer, StopAndStartZeroAreTheSame)
{
    for (bool useStop : {true, false}) {
        SCOPED_TRACE(useStop ? "stop()" : "start(0)");
        CountingTimer t;
        t.start(5);
        firings(t, 3);
        ASSERT_EQ(t.getCount(), 3u);
        if (useStop)
            t.stop();
        else
            t.start(0);
        EXPECT_FALSE(t.isRunning());
        EXPECT_EQ(t.getCount(), 0u);
        EXPECT_TRUE(firings(t, 20).empty());
        EXPECT_EQ(t.getCount(), 0u);
        EXPECT_EQ(t.fired, 0);
    }
}

TEST(SoftwareTimer, SecondStartCountsFromItself)
{
    CountingTimer t;
    t.start(5);
    EXPECT_TRUE(firings(t, 3).empty());
    t.start(5);
    // Fires five ticks after the second start, not two.
    EXPECT_EQ(firings(t, 11), (std::vector<int>{5, 10}));
}

TEST(SoftwareTimer, OnePulseFiresOnce)
{
    CountingTimer t;
    t.setOnePulse(true);
    t.start(4);
    EXPECT_EQ(firings(t, 20), (std::vector<int>{4}));
    EXPECT_FALSE(t.isRunning());
    EXPECT_EQ(t.getCount(), 0u);
    // start() keeps the one-pulse setting.
    t.start(2);
    EXPECT_EQ(firings(t, 20), (std::vector<int>{2}));
    EXPECT_EQ(t.fired, 2);
}

TEST(SoftwareTimer, OnePulseStopOverrulesRestartInHandler)
{
    CountingTimer t;
    t.setOnePulse(true);
    t.onFire = [](CountingTimer &self) { self.start(3); };
    t.start(2);
    EXPECT_EQ(firings(t, 20), (std::vector<int>{2}));
    EXPECT_FALSE(t.isRunning());
    EXPECT_EQ(t.fired, 1);
}

TEST(SoftwareTimer, HandlerRunsExactlyWhenTickFires)
{
    CountingTimer t;
    t.start(3);
    int lastFired = 0;
    for (int i = 1; i <= 30; ++i) {
        const bool fired = t.tick();
        EXPECT_EQ(t.fired - lastFired, fired ? 1 : 0) << i;
        lastFired = t.fired;
    }
    EXPECT_EQ(t.fired, 10);
}

// ---------------------------------------------------------------------------------------------
// TimerThread

class CountingThread : public TimerThread
{
public:
    explicit CountingThread(quint32 period) : TimerThread(period) {}
    ~CountingThread() override { quitAndWait(); }

    std::atomic<int> ticks{0};
    std::atomic<QThread *> tickThread{nullptr};

protected:
    void slotTimeOut() override
    {
        tickThread = QThread::currentThread();
        ++ticks;
    }
};

// Waits (up to 10 s) until the thread has ticked `more` times beyond `from`.
bool waitTicks(const CountingThread &t, int from, int more)
{
    QElapsedTimer clock;
    clock.start();
    while (t.ticks - from < more) {
        if (clock.elapsed() > 10000)
            return false;
        QThread::msleep(1);
    }
    return true;
}

// Ticks counted over one window of about `ms` milliseconds.
int ticksOver(const CountingThread &t, int ms)
{
    const int before = t.ticks;
    QThread::msleep(static_cast<unsigned long>(ms));
    return t.ticks - before;
}

void stopThread(CountingThread &t)
{
    t.quit();
    ASSERT_TRUE(t.wait(10000));
}

TEST(TimerThread, TicksInItsOwnThread)
{
    CountingThread t(5);
    EXPECT_EQ(t.getPeriod(), 5u);
    t.start();
    ASSERT_TRUE(waitTicks(t, 0, 3));
    EXPECT_EQ(t.tickThread.load(), static_cast<QThread *>(&t));
    EXPECT_NE(t.tickThread.load(), QThread::currentThread());
    stopThread(t);
    const int stopped = t.ticks;
    QThread::msleep(50);
    EXPECT_EQ(t.ticks, stopped);
}

TEST(TimerThread, PeriodChangeAndRestart)
{
    // 200 ms gives about 5 ticks a second, 5 ms about 200: the bounds only separate the orders
    // of magnitude.
    const int slowMax = 20;
    const int fastMin = 40;
    CountingThread t(200);
    t.start();
    ASSERT_TRUE(waitTicks(t, 0, 1));
    const int slow = ticksOver(t, 1000);
    EXPECT_LE(slow, slowMax);

    t.slotChangeSpiPeriod(5);
    const int fast = ticksOver(t, 1000);
    EXPECT_GE(fast, fastMin);
    EXPECT_EQ(t.getPeriod(), 200u);

    stopThread(t);
    t.start();
    ASSERT_TRUE(waitTicks(t, t.ticks, 1));
    const int again = ticksOver(t, 1000);
    EXPECT_LE(again, slowMax) << "a restarted thread runs at its construction period";
    stopThread(t);
}

// Calls slotChangeSpiPeriod from another thread and reports whether it returned within 5 s.
// If it hangs, the timer thread is started once more so that the blocked call can finish.
bool changeReturns(CountingThread &t, int ms)
{
    auto call = std::async(std::launch::async, [&t, ms] { t.slotChangeSpiPeriod(ms); });
    if (call.wait_for(std::chrono::seconds(5)) == std::future_status::ready)
        return true;
    t.start();
    call.wait();
    t.quit();
    t.wait();
    return false;
}

TEST(TimerThread, PeriodChangeWhileStoppedReturnsAtOnce)
{
    CountingThread never(200);
    EXPECT_TRUE(changeReturns(never, 5)) << "before the first run";

    CountingThread t(200);
    t.start();
    ASSERT_TRUE(waitTicks(t, 0, 1));
    stopThread(t);
    EXPECT_TRUE(changeReturns(t, 5)) << "after a run";

    // The change asked for while stopped does not carry into the next run.
    t.start();
    ASSERT_TRUE(waitTicks(t, t.ticks, 1));
    EXPECT_LE(ticksOver(t, 1000), 20);
    stopThread(t);
}

// A worker that changes the period from inside its own tick.
class SelfChangingThread : public CountingThread
{
public:
    explicit SelfChangingThread(quint32 period) : CountingThread(period) {}
    std::atomic<bool> changed{false};

protected:
    void slotTimeOut() override
    {
        CountingThread::slotTimeOut();
        if (!changed.exchange(true))
            slotChangeSpiPeriod(5);
    }
};

TEST(TimerThread, PeriodChangeFromItsOwnTick)
{
    SelfChangingThread t(200);
    t.start();
    ASSERT_TRUE(waitTicks(t, 0, 1));
    if (!waitTicks(t, 1, 20)) {
        // The tick waits for itself and nothing can free it: report and end this program.
        ADD_FAILURE() << "a period change from the timer's own thread hung the thread";
        std::_Exit(1);
    }
    EXPECT_GE(ticksOver(t, 1000), 40);
    stopThread(t);
}

TEST(TimerThread, PeriodChangeRacingStopNeverHangs)
{
#if defined(__SANITIZE_THREAD__)
    // Posting to a thread that is ending synchronises inside Qt's own (uninstrumented) locks,
    // which the sanitizer cannot see.
    GTEST_SKIP() << "Qt's event posting is invisible to ThreadSanitizer";
#endif
    // The change may arrive while the thread is ending its run; it must return either way.
    CountingThread t(2);
    for (int round = 0; round < 30; ++round) {
        t.start();
        ASSERT_TRUE(waitTicks(t, t.ticks, 1)) << round;
        auto change = std::async(std::launch::async, [&t] { t.slotChangeSpiPeriod(3); });
        t.quit();
        ASSERT_TRUE(t.wait(10000)) << round;
        if (change.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
            t.start();
            change.wait();
            FAIL() << "period change hung on a stopping thread, round " << round;
        }
    }
}

// A thread with no tick of its own: only wake-ups bring it work.
class WokenThread : public CountingThread
{
public:
    WokenThread() : CountingThread(20) {}
    void wake() { timer().wakeToGrid(); }

protected:
    quint64 ticksUntilWork() override { return GridTimer::never; }
};

TEST(TimerThread, SleepsUntilWokenAndServesQueuedCallsAndQuit)
{
    WokenThread t;
    t.start();
    QObject inThread;
    inThread.moveToThread(&t);
    std::atomic<QThread *> ranIn{nullptr};
    QMetaObject::invokeMethod(
        &inThread, [&ranIn] { ranIn = QThread::currentThread(); }, Qt::QueuedConnection);
    QElapsedTimer clock;
    clock.start();
    while (!ranIn && clock.elapsed() < 10000)
        QThread::msleep(1);
    EXPECT_EQ(ranIn.load(), static_cast<QThread *>(&t)) << "a queued call runs in the thread";
    QThread::msleep(200);
    EXPECT_EQ(t.ticks, 0) << "nothing due, nothing run";
    t.wake();
    ASSERT_TRUE(waitTicks(t, 0, 1));
    QThread::msleep(200);
    EXPECT_EQ(t.ticks, 1) << "one wake-up, one tick";
    stopThread(t);
}

// ---------------------------------------------------------------------------------------------
// GridTimer, slept on by the test thread. The bounds separate what happens from what does not;
// none is a speed.

TEST(GridTimer, SleepsTheTicksAskedForAndCountsThoseItCameLateFor)
{
    GridTimer timer;
    timer.restart(std::chrono::milliseconds(5));
    EXPECT_GE(timer.sleep(3), 3u);
    QThread::msleep(200);  // some 40 periods pass while the owner works
    EXPECT_GE(timer.sleep(1), 20u) << "one wake-up stands for all the periods missed";
}

TEST(GridTimer, AWakeUpFromAnotherThreadLandsOnTheGrid)
{
    using namespace std::chrono;
    using Clock = GridTimer::Clock;
    const milliseconds period(50);
    GridTimer timer;
    timer.restart(period);
    const Clock::time_point grid = Clock::now();  // the grid began just before

    // To the grid: a sleep with no tick of its own ends when the tick the wake-up came in ends.
    std::atomic<Clock::rep> wokenAt{0};
    std::thread waker([&] {
        std::this_thread::sleep_for(milliseconds(120));
        wokenAt = Clock::now().time_since_epoch().count();
        timer.wakeToGrid();
    });
    const quint64 ticks = timer.sleep(GridTimer::never);
    const Clock::time_point back = Clock::now();
    waker.join();
    const Clock::time_point woken{Clock::duration(wokenAt.load())};
    const Clock::time_point tickEnd = grid + ((woken - grid) / period + 1) * period;
    EXPECT_GE(ticks, 3u);
    EXPECT_GE(back, tickEnd - milliseconds(1)) << "on the grid, not at the wake-up itself";

    // Now: the sleep ends at once, with no tick taken.
    waker = std::thread([&] {
        std::this_thread::sleep_for(milliseconds(20));
        timer.wakeNow();
    });
    EXPECT_EQ(timer.sleep(GridTimer::never), 0u);
    waker.join();

    // Wake-ups that come while the owner is awake hold for its next sleep.
    timer.wakeNow();
    EXPECT_EQ(timer.sleep(GridTimer::never), 0u);
    timer.wakeToGrid();
    EXPECT_GE(timer.sleep(GridTimer::never), 1u);
}

// ---------------------------------------------------------------------------------------------
// CycleOverruns: a script of cycles (start in ms, length in ms, timer periods missed before it)
// against a 16 ms period and a 5 s report interval, and the warnings due after each.
TEST(CycleOverruns, FirstToldAtOnceLaterOnesGatheredPerInterval)
{
    using namespace std::chrono;
    struct Step {
        double at, took;
        const char *line;  // empty: nothing due
        quint64 missed = 0;  // the timer's expirations beyond the first at this wake-up
    };
    const Step steps[] = {
        {0, 3, ""},
        {16, 16, ""},  // exactly the period is no overrun
        {32, 17.4125,
         "#WARNING: transfer cycle overran its 16 ms period: 1 cycle late or overran in the "
         "last 5 s; longest 17.412 ms"},
        {100, 20, ""},
        {200, 18, ""},
        {300, 2, ""},
        {5044, 5, ""},  // ends 0.4 ms short of 5 s after the last report
        {5050, 3,
         "#WARNING: transfer cycle overran its 16 ms period: 2 cycles late or overran in the "
         "last 5 s; longest 20.000 ms"},
        {6000, 40, ""},  // within 5 s of the last report: waits
        {20000, 1,
         "#WARNING: transfer cycle overran its 16 ms period: 1 cycle late or overran in the "
         "last 5 s; longest 40.000 ms"},
        {30000, 1, ""},  // nothing pending: nothing to tell however long it was
        // Woken up more than a period late: short work, yet the periods missed are told.
        {30040, 2,
         "#WARNING: transfer cycle overran its 16 ms period: 1 cycle late or overran in the "
         "last 5 s; longest 2.000 ms",
         1},
        {30100, 3, "", 3},
        {30200, 30, ""},  // an overrun and late wake-ups count alike
        {35100, 1,
         "#WARNING: transfer cycle overran its 16 ms period: 4 cycles late or overran in the "
         "last 5 s; longest 30.000 ms"},
    };
    CycleOverruns overruns(QStringLiteral("transfer cycle"), milliseconds(16));
    const CycleOverruns::Clock::time_point origin{};
    const auto at = [&](double ms) {
        return origin + duration_cast<nanoseconds>(duration<double, std::milli>(ms));
    };
    for (const Step &step : steps) {
        SCOPED_TRACE(step.at);
        EXPECT_EQ(
            overruns.cycle(at(step.at), at(step.at + step.took), step.missed + 1).toStdString(),
            step.line);
    }
    EXPECT_EQ(overruns.total(), 9u);
    EXPECT_EQ(overruns.longestUs(), 40000u);
}

}  // namespace
