// The priority-inheriting mutex: a low-priority holder that a middle-priority thread would starve
// gets the waiting high-priority thread's priority, so the waiter is served long before the middle
// one lets go of the processor.

#include "base/pimutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <pthread.h>
#include <sched.h>

namespace {

using Clock = std::chrono::steady_clock;

// Puts the calling thread on processor 0 at SCHED_FIFO `priority`; false where refused.
bool realTimeOnCpu0(int priority)
{
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    CPU_SET(0, &cpus);
    sched_param param{};
    param.sched_priority = priority;
    return pthread_setaffinity_np(pthread_self(), sizeof cpus, &cpus) == 0 &&
           pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0;
}

void spinFor(std::chrono::milliseconds span)
{
    const Clock::time_point end = Clock::now() + span;
    while (Clock::now() < end) {
    }
}

}  // namespace

TEST(PiMutex, LendsTheWaitersPriorityToTheHolder)
{
    PiMutex mutex;
    EXPECT_TRUE(mutex.inheritsPriority());

    // Low (FIFO 10) holds the mutex for 20 ms of work; high (FIFO 30) waits for it; middle
    // (FIFO 20) then spins for 300 ms. All on one processor: only an inherited priority lets low
    // finish before middle does.
    std::atomic<int> refused{0};
    std::atomic<bool> held{false}, waiting{false}, middleDone{false}, middleDoneAtLock{true};
    std::thread low([&] {
        if (!realTimeOnCpu0(10))
            ++refused;
        std::lock_guard<PiMutex> lock(mutex);
        held = true;
        while (!waiting)
            std::this_thread::yield();
        spinFor(std::chrono::milliseconds(20));
    });
    while (!held)
        std::this_thread::yield();
    std::thread high([&] {
        if (!realTimeOnCpu0(30))
            ++refused;
        waiting = true;
        std::lock_guard<PiMutex> lock(mutex);
        middleDoneAtLock = middleDone.load();
    });
    while (!waiting)
        std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));  // high is asleep on the mutex
    std::thread middle([&] {
        if (!realTimeOnCpu0(20))
            ++refused;
        spinFor(std::chrono::milliseconds(300));
        middleDone = true;
    });
    low.join();
    high.join();
    middle.join();
    if (refused > 0)
        GTEST_SKIP() << "real-time priority refused here";
    EXPECT_FALSE(middleDoneAtLock) << "the holder waited for the middle thread";
}
