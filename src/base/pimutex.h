#pragma once
// A mutex that lends its holder the priority of the highest thread waiting for it (priority
// inheritance). The transfer thread runs at SCHED_FIFO with -rtprio; where it shares a lock with
// a normal-priority thread (the command queues with the console reader, the console streams with
// every thread, the board's lines with the UDP readers), a holder preempted by the machine's load
// inside its critical section would otherwise hold the cycle up for as long as the load runs.
// Inherited, the holder runs at the waiter's priority until it lets go.
//
// A drop-in for std::mutex (BasicLockable and Lockable: std::lock_guard, std::unique_lock,
// std::scoped_lock); not for std::condition_variable, which wants std::mutex itself. Where the
// system offers no priority inheritance, it is a plain mutex (inheritsPriority() says which).
// A failure to lock is a std::system_error, as with std::mutex; a failure to unlock (by a thread
// that does not hold it) is a fault of the program and ends it with a line on standard error.

#include <mutex>  // std::lock_guard, std::unique_lock: the usual ways to hold it

#include <pthread.h>

class PiMutex
{
public:
    PiMutex();
    ~PiMutex();
    PiMutex(const PiMutex &) = delete;
    PiMutex &operator=(const PiMutex &) = delete;

    void lock();
    bool try_lock();
    void unlock();

    // True when the mutex lends priority to its holder.
    bool inheritsPriority() const { return inherits; }

private:
    pthread_mutex_t handle;
    bool inherits = false;
};
