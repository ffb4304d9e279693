#pragma once
// A program run by the harness: its standard input is a pipe the harness writes lines into, its
// standard output is either a file or a pipe read by a thread of its own that stamps every line
// with the steady clock the moment it arrives. Owned by the harness's main thread; the reader
// thread appends to `lines` under `mutex`.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/types.h>

namespace Bench {

int64_t nowNs();  // steady clock, the same clock as shield-sim's timing log
// Gives the calling thread the lowest real-time priority, where the system allows it, so that a
// thread of the measuring apparatus notices what it waits for at once; false when refused.
bool becomeRealTime();

// What the harness started and has not stopped yet is killed (SIGKILL) when the harness exits,
// also through std::exit, or dies of SIGINT, SIGTERM or SIGHUP: `target` is a process id, or
// minus a process group id. At most 16 at a time; false when all places are taken.
bool killOnExit(pid_t target);
void forgetOnExit(pid_t target);

struct Line {
    int64_t ns;
    std::string text;
};

class Child
{
public:
    Child() = default;
    ~Child();
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    // Starts argv[0] with the arguments. Standard output goes to `outFile`, or into `lines` when
    // it is empty; standard error always goes to `errFile`. False when the program cannot start.
    bool start(const std::vector<std::string> &argv, const std::string &outFile,
               const std::string &errFile);
    pid_t pid() const { return child; }
    bool running();
    // How it ended, once running() has found it ended: "exit status 1", "killed by signal 11".
    std::string howItEnded() const { return endedAs; }

    // Writes text and "\n" to the program's standard input; returns the time just before.
    int64_t writeLine(const std::string &text);

    // The time of the first output line at or after index `from` that equals `text`, waiting
    // until `deadlineNs`; -1 when it did not come. *index gets the line's index.
    int64_t waitForLine(const std::string &text, int64_t deadlineNs, size_t from = 0,
                        size_t *index = nullptr);
    std::vector<Line> linesSoFar();
    size_t lineCount();

    // SIGTERM, then SIGKILL if it has not ended within a second; waits for it.
    void stop();

private:
    void readOutput(int fd);

    pid_t child = -1;
    std::string endedAs;
    int input = -1;
    std::thread reader;
    std::mutex mutex;
    std::condition_variable arrived;
    std::vector<Line> lines;  // guarded by mutex
};

}  // namespace Bench
