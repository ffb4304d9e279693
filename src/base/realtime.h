#pragma once
// Real-time scheduling of the periodic threads, asked for with -rtprio N. The process first
// checks what the system grants (request(), in the main thread, before any periodic thread
// starts): SCHED_FIFO at N for a thread, and its memory locked, current and future. Each periodic
// thread then puts itself at its priority when it starts (enterThread()). Console, UDP and status
// work stays in threads of normal priority.

#include <QString>

class RealTime
{
public:
    static constexpr int lowest = 1;
    static constexpr int highest = 99;
    struct Grant {
        bool priority = false;  // threads may run at SCHED_FIFO N
        // The process's memory is locked, current and future, as it is used: a page stays
        // resident once touched, and the driver's cycle touches its own in its first cycles.
        // Locking every mapped page at once would also load 30 MiB of Unicode tables and every
        // thread's whole stack that nothing reads.
        bool memory = false;
        QString refused;  // what was not granted and why, for one warning line
    };

    // Tries both in a short-lived thread and the process, so that the driver knows before its
    // periodic threads start. Without the priority the memory stays unlocked too.
    static Grant request(int priority);
    // Puts the calling thread at SCHED_FIFO `priority` and touches the stack it will use (so its
    // pages are resident and locked before the first cycle); empty
    // when done, else why not.
    static QString enterThread(int priority);
    // The priority's text of -rtprio (1 to 99) as a number; 0 when it is not one.
    static int parse(const QString &text);
};
