#pragma once
// A technician's client beside the measured driver: asks the driver's status socket for its
// document ten times a second from a thread of its own, so the figures of the run include a
// status client at work. Counts the answers and the requests that got none.

#include <atomic>
#include <string>
#include <thread>

class StatusPoller
{
public:
    explicit StatusPoller(std::string path) : path(std::move(path)) {}
    ~StatusPoller() { stop(); }
    StatusPoller(const StatusPoller &) = delete;
    StatusPoller &operator=(const StatusPoller &) = delete;

    void start(int periodMs);
    void stop();
    long answers() const { return answered.load(); }
    long failures() const { return failed.load(); }

private:
    void run(int periodMs);
    int connectSocket() const;

    const std::string path;
    std::thread thread;
    std::atomic<bool> running{false};
    std::atomic<long> answered{0};
    std::atomic<long> failed{0};
};
