#include "harness/child.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace Bench {

int64_t nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool becomeRealTime()
{
    sched_param param{};
    param.sched_priority = 1;
    return ::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &param) == 0;
}

namespace {

// Read by the exit and signal handlers: plain atomics, no lock.
std::atomic<pid_t> toKill[16];

void killAll()
{
    for (std::atomic<pid_t> &slot : toKill) {
        const pid_t target = slot.exchange(0);
        if (target != 0)
            ::kill(target, SIGKILL);
    }
}

void onSignal(int signal)
{
    killAll();
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

void installHandlers()
{
    static std::atomic<bool> installed{false};
    if (installed.exchange(true))
        return;
    std::atexit(killAll);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction action = {};
        action.sa_handler = onSignal;
        ::sigemptyset(&action.sa_mask);
        ::sigaction(signal, &action, nullptr);
    }
}

std::string describe(int status)
{
    if (WIFEXITED(status))
        return "exit status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return "killed by signal " + std::to_string(WTERMSIG(status)) + " (" +
               ::strsignal(WTERMSIG(status)) + ")";
    return "ended";
}

}  // namespace

bool killOnExit(pid_t target)
{
    installHandlers();
    for (std::atomic<pid_t> &slot : toKill) {
        pid_t free = 0;
        if (slot.compare_exchange_strong(free, target))
            return true;
    }
    return false;
}

void forgetOnExit(pid_t target)
{
    for (std::atomic<pid_t> &slot : toKill) {
        pid_t expected = target;
        if (slot.compare_exchange_strong(expected, 0))
            return;
    }
}

Child::~Child()
{
    stop();
}

bool Child::start(const std::vector<std::string> &argv, const std::string &outFile,
                  const std::string &errFile)
{
    int in[2], out[2] = {-1, -1};
    if (::pipe2(in, O_CLOEXEC) < 0)
        return false;
    const bool pipeOut = outFile.empty();
    if (pipeOut && ::pipe2(out, O_CLOEXEC) < 0)
        return false;

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    if (pipeOut)
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    else
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outFile.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errFile.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    const int failed = ::posix_spawn(&child, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    if (pipeOut)
        ::close(out[1]);
    if (failed != 0) {
        child = -1;
        ::close(in[1]);
        if (pipeOut)
            ::close(out[0]);
        return false;
    }
    input = in[1];
    endedAs.clear();
    killOnExit(child);
    if (pipeOut)
        reader = std::thread(&Child::readOutput, this, out[0]);
    return true;
}

bool Child::running()
{
    if (child < 0)
        return false;
    int status = 0;
    const pid_t reaped = ::waitpid(child, &status, WNOHANG);
    if (reaped == 0)
        return true;
    forgetOnExit(child);
    endedAs = reaped == child ? describe(status) : "gone";
    child = -1;  // reaped (or gone): its id may belong to someone else from now on
    return false;
}

int64_t Child::writeLine(const std::string &text)
{
    const std::string bytes = text + "\n";
    const int64_t at = nowNs();
    size_t done = 0;
    while (input >= 0 && done < bytes.size()) {
        const ssize_t n = ::write(input, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    return at;
}

void Child::readOutput(int fd)
{
    becomeRealTime();
    std::string partial;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        const int64_t at = nowNs();
        partial.append(buffer, static_cast<size_t>(n));
        size_t end;
        std::lock_guard<std::mutex> lock(mutex);
        while ((end = partial.find('\n')) != std::string::npos) {
            lines.push_back({at, partial.substr(0, end)});
            partial.erase(0, end + 1);
        }
        arrived.notify_all();
    }
    ::close(fd);
}

int64_t Child::waitForLine(const std::string &text, int64_t deadlineNs, size_t from, size_t *index)
{
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        for (size_t i = from; i < lines.size(); ++i) {
            if (lines[i].text == text) {
                if (index)
                    *index = i;
                return lines[i].ns;
            }
        }
        from = lines.size();
        const int64_t left = deadlineNs - nowNs();
        if (left <= 0)
            return -1;
        arrived.wait_for(lock, std::chrono::nanoseconds(std::min<int64_t>(left, 100000000)));
    }
}

std::vector<Line> Child::linesSoFar()
{
    std::lock_guard<std::mutex> lock(mutex);
    return lines;
}

size_t Child::lineCount()
{
    std::lock_guard<std::mutex> lock(mutex);
    return lines.size();
}

void Child::stop()
{
    if (child > 0) {
        ::kill(child, SIGTERM);
        int status = 0;
        bool ended = false;
        for (int i = 0; i < 100 && !ended; ++i) {
            ended = ::waitpid(child, &status, WNOHANG) == child;
            if (!ended)
                ::usleep(10000);
        }
        if (!ended) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
        }
        forgetOnExit(child);
        child = -1;
    }
    if (input >= 0) {
        ::close(input);
        input = -1;
    }
    if (reader.joinable())
        reader.join();
}

}  // namespace Bench
