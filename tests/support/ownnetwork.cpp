#include "support/ownnetwork.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace ownnetwork {
namespace {

Network where = Network::Unknown;
int turnFd = -1;

std::string errorText(const char *what)
{
    return std::string(what) + ": " + std::strerror(errno);
}

bool writeFile(const char *path, const std::string &text)
{
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const ssize_t n = ::write(fd, text.data(), text.size());
    const bool ok = n == static_cast<ssize_t>(text.size());
    ::close(fd);
    return ok;
}

// A user namespace beside the network one, for callers without the right to make the network
// namespace alone: only the caller's own user and group are mapped, to themselves.
bool enterWithUserNamespace(std::string *why)
{
    const uid_t uid = ::geteuid();
    const gid_t gid = ::getegid();
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
        *why += "; " + errorText("unshare(user and network namespace)");
        return false;
    }
    if (!writeFile("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1") ||
        !writeFile("/proc/self/setgroups", "deny") ||
        !writeFile("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1")) {
        // In a namespace without a user there is no way back and no file can be made.
        std::fprintf(stderr, "test network: %s\n",
                     errorText("mapping the user into its new namespace").c_str());
        std::exit(1);
    }
    return true;
}

bool loopbackUp(std::string *why)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *why = errorText("socket");
        return false;
    }
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    if (ok) {
        request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
        ok = ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    }
    if (!ok)
        *why = errorText("bringing the loopback up");
    ::close(fd);
    return ok;
}

// The lock file in the shared temporary folder: opened if it is there (whoever made it),
// otherwise made; never through a link. Reading is enough for flock.
int openTurnFile()
{
    const std::string path = turnFile();
    for (int attempt = 0; attempt < 10; ++attempt) {
        int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0 || errno != ENOENT)
            return fd;
        fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

}  // namespace

Network enter(std::string *why)
{
    std::string ignored;
    if (!why)
        why = &ignored;
    why->clear();
    const char *choice = std::getenv("STM_TEST_NETWORK");
    if (choice && std::strcmp(choice, "shared") == 0) {
        *why = "STM_TEST_NETWORK=shared";
        return where = Network::Shared;
    }
    const int original = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    bool entered = ::unshare(CLONE_NEWNET) == 0;
    bool canGoBack = entered;
    if (!entered) {
        *why = errorText("unshare(network namespace)");
        entered = enterWithUserNamespace(why);
    }
    if (entered && loopbackUp(why)) {
        if (original >= 0)
            ::close(original);
        return where = Network::Own;
    }
    if (entered) {
        // A network without a loopback is of no use to the tests: back to the machine's, or,
        // where that is not allowed, no test can run.
        if (!canGoBack || original < 0 || ::setns(original, CLONE_NEWNET) != 0) {
            std::fprintf(stderr, "test network: %s, and the machine's network is out of reach\n",
                         why->c_str());
            std::exit(1);
        }
    }
    if (original >= 0)
        ::close(original);
    return where = Network::Shared;
}

Network current()
{
    return where;
}

bool takeTurn()
{
    if (where == Network::Own || where == Network::Inherited || turnFd >= 0)
        return true;
    const int fd = openTurnFile();
    if (fd < 0)
        return false;
    while (::flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            ::close(fd);
            return false;
        }
    }
    turnFd = fd;  // released by the kernel when the program ends, however it ends
    return true;
}

std::string turnFile()
{
    const char *dir = std::getenv("TMPDIR");
    return std::string(dir && *dir ? dir : "/tmp") + "/stm-e2e-audio-ports.lock";
}

std::string takingTurnsNote(const std::string &why)
{
    return "process-level tests take turns on this machine's network: no network namespace of "
           "their own here (" +
           why + ")";
}

Network setUpForTests(int argc, char **argv, bool fixedPorts)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--gtest_list_tests")
            return where;
        if (arg.rfind("--gtest_internal_run_death_test", 0) == 0)
            return where = Network::Inherited;
    }
    std::string why;
    if (enter(&why) == Network::Own || !fixedPorts)
        return where;
    std::fprintf(stderr, "%s\n", takingTurnsNote(why).c_str());
    if (!takeTurn()) {
        std::fprintf(stderr, "test network: %s\n", errorText("no lock to take turns with").c_str());
        std::exit(1);
    }
    return where;
}

}  // namespace ownnetwork
