#pragma once
// One driver per bus: an exclusive POSIX record lock on a file that stands for the bus (the SPI
// node on the board, a lock file beside the simulated bus's socket). The lock lives as long as
// the object or until release(); the kernel drops it when the process ends. Main thread only.

#include <QString>

class BusLock
{
public:
    BusLock() = default;
    ~BusLock();
    BusLock(const BusLock &) = delete;
    BusLock &operator=(const BusLock &) = delete;

    // Locks the open file `fd` (which stays the caller's). False when another process holds it;
    // problem() then says which.
    bool lock(int fd, const QString &bus);
    // Opens (creating it when missing) and locks the file at `path`; the descriptor is ours.
    bool lockFile(const QString &path, const QString &bus);
    void release();

    // Whether the last lock failed because another process holds it.
    bool busy() const { return heldElsewhere; }
    // Why the last lock failed: "PATH is in use by another driver (pid N)" or the system error.
    QString problem() const { return why; }

private:
    int ownFd = -1;  // the lock file we opened, closed by release()
    int lockedFd = -1;
    QString why;
    bool heldElsewhere = false;
};
