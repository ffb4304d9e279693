#include "harness/load.h"

#include "harness/child.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace Bench {

namespace {

// The children run after a fork of a threaded process: system calls only from here on.
[[noreturn]] void busyLoop()
{
    volatile unsigned long spin = 0;
    for (;;)
        spin = spin + 1;
}

// The file is removed at once: it goes with the writer, however the writer ends.
[[noreturn]] void writeLoop(const char *path, const char *chunk)
{
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        ::_exit(1);
    ::unlink(path);
    const timespec pause{0, Load::pauseMs * 1000000L};
    for (;;) {
        if (::ftruncate(fd, 0) != 0 || ::lseek(fd, 0, SEEK_SET) != 0)
            ::_exit(1);
        size_t done = 0;
        while (done < Load::chunkBytes) {
            const ssize_t n = ::write(fd, chunk + done, Load::chunkBytes - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                ::_exit(1);
            done += static_cast<size_t>(n);
        }
        ::fdatasync(fd);
        ::nanosleep(&pause, nullptr);
    }
}

uint64_t bytesWritten(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/io");
    std::string key;
    uint64_t value = 0;
    while (in >> key >> value) {
        if (key == "wchar:")
            return value;
    }
    return 0;
}

}  // namespace

Load::~Load()
{
    stop();
}

pid_t Load::spawn(bool writer)
{
    static std::vector<char> chunk;
    if (writer && chunk.empty())
        chunk.assign(chunkBytes, '\x5a');
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid != 0)
        return pid;
    // In the child: die with the harness, even when it is killed outright.
    ::setpgid(0, group);
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent)
        ::_exit(0);
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        ::signal(signal, SIG_DFL);
    ::prctl(PR_SET_NAME, writer ? "bench-io-load" : "bench-cpu-load");
    if (writer)
        writeLoop(path.c_str(), chunk.data());
    busyLoop();
}

bool Load::start(int cpus, const std::string &file)
{
    stop();
    path = file;
    written = 0;
    startNs = nowNs();
    for (int i = 0; i <= cpus; ++i) {
        const bool writer = i == cpus;
        const pid_t pid = spawn(writer);
        if (pid < 0) {
            stop();
            return false;
        }
        // Both sides set the group, so that it holds before either goes on.
        ::setpgid(pid, group == 0 ? pid : group);
        if (group == 0) {
            group = pid;
            if (!killOnExit(-group)) {
                children.push_back(pid);
                stop();
                return false;
            }
        }
        children.push_back(pid);
    }
    busyLoops = cpus;
    return true;
}

void Load::stop()
{
    if (children.empty())
        return;
    endNs = nowNs();
    written = bytesWritten(children.back());
    ::kill(-group, SIGKILL);
    forgetOnExit(-group);
    for (pid_t pid : children) {
        ::kill(pid, SIGKILL);  // in case it had not joined the group yet
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    children.clear();
    group = 0;
}

}  // namespace Bench
