#pragma once
// A load on the machine beside the measured driver: one busy loop per core and one writer that
// puts 4 MiB into a file, waits until it is on the disk, pauses and starts again, all at normal
// priority. The children share a process group of their own and die with the harness (parent
// death signal, and killOnExit of the group), so no busy loop outlives a run that fails. Owned by
// the harness's main thread; one load at a time.

#include <cstdint>
#include <string>
#include <vector>

#include <sys/types.h>

namespace Bench {

class Load
{
public:
    Load() = default;
    ~Load();
    Load(const Load &) = delete;
    Load &operator=(const Load &) = delete;

    // Starts `cpus` busy loops and the writer on `file`; false (and nothing left running) when a
    // child cannot be started.
    bool start(int cpus, const std::string &file);
    // Kills the children and waits for them; the file (removed as soon as it was opened) goes
    // with the writer.
    void stop();

    int cpus() const { return busyLoops; }
    // What the writer had written when it was stopped, and over how long.
    double writtenMiB() const { return static_cast<double>(written) / (1024.0 * 1024.0); }
    double seconds() const { return static_cast<double>(endNs - startNs) / 1e9; }

    static constexpr size_t chunkBytes = 4 << 20;
    static constexpr int pauseMs = 200;  // between chunks: 20 MB/s at most

private:
    pid_t spawn(bool writer);

    std::vector<pid_t> children;
    pid_t group = 0;
    int busyLoops = 0;
    std::string path;
    uint64_t written = 0;
    int64_t startNs = 0, endNs = 0;
};

}  // namespace Bench
