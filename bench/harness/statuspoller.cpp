#include "harness/statuspoller.h"

#include <chrono>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

void StatusPoller::start(int periodMs)
{
    running = true;
    thread = std::thread([this, periodMs] { run(periodMs); });
}

void StatusPoller::stop()
{
    running = false;
    if (thread.joinable())
        thread.join();
}

int StatusPoller::connectSocket() const
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void StatusPoller::run(int periodMs)
{
    int fd = -1;
    auto next = std::chrono::steady_clock::now();
    while (running) {
        next += std::chrono::milliseconds(periodMs);
        std::this_thread::sleep_until(next);
        if (fd < 0)
            fd = connectSocket();
        bool ok = fd >= 0 && ::send(fd, "status\n", 7, MSG_NOSIGNAL) == 7;
        // One line back, within a second.
        std::string got;
        while (ok && got.find('\n') == std::string::npos) {
            pollfd p{fd, POLLIN, 0};
            char buffer[4096];
            ssize_t n = 0;
            ok = ::poll(&p, 1, 1000) == 1 && (n = ::read(fd, buffer, sizeof buffer)) > 0;
            if (ok)
                got.append(buffer, static_cast<size_t>(n));
        }
        if (ok) {
            ++answered;
        } else {
            ++failed;
            if (fd >= 0)
                ::close(fd);
            fd = -1;
        }
    }
    if (fd >= 0)
        ::close(fd);
}
