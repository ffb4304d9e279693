#pragma once
// The transfer log of --timing-log (for bench/run): one line per SPI transfer. The serving thread
// only appends to a buffer in memory, so the file never slows a transfer down; a writer thread of
// its own empties the buffer into the file every 50 ms.

#include "shield-sim/simbusserver.h"

#include <QString>

#include <mutex>
#include <string>

class TimingLog
{
public:
    // Opens the file and starts the writer thread, which runs until the process ends: the log
    // is never destroyed.
    bool open(const QString &path);

    // Serving thread.
    void record(const SimbusServer::Transfer &t);

    // Writer thread, and the serving thread when the driver goes.
    void flush();

private:
    int fd = -1;
    std::mutex writeMutex;
    std::mutex mutex;
    std::string pending;  // guarded by mutex
};
