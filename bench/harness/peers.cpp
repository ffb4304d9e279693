// The programs around the driver: the host's audio ports, shield-sim, and the driver itself.

#include "harness/peers.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

namespace Bench {

namespace {

// Whether the driver's own audio ports (20003 + 2i) are free now: another driver that holds them
// would take the host's audio of this run.
bool driverPortsFree()
{
    bool free = true;
    for (int i = 0; i < AudioPeer::shields && free; ++i) {
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(AudioPeer::driverPortBase + 2 * i));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        free = fd >= 0 &&
               ::bind(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
        if (fd >= 0)
            ::close(fd);
    }
    if (!free)
        errno = EADDRINUSE;
    return free;
}

// The simulator plays the bus, so its time stamps should follow the driver's transfers as a
// logic analyser would: its threads get the lowest real-time priority when the system allows it,
// and the thread that serves the bus ("simbus-serve") one above the driver's when the driver runs
// at one (a bus is hardware: it never waits for the driver's CPU, and the simulator's other work,
// such as writing the timing log, must not take the driver's CPU). The driver and cyclictest keep
// the priority the run gives them. Returns whether every thread got it.
bool raiseToRealTime(pid_t pid, int busPriority)
{
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR *dir = ::opendir(tasks.c_str());
    if (!dir)
        return false;
    bool all = true;
    while (dirent *entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        std::ifstream comm(tasks + "/" + entry->d_name + "/comm");
        std::string name;
        std::getline(comm, name);
        sched_param param{};
        param.sched_priority = name == "simbus-serve" ? busPriority : 1;
        all = ::sched_setscheduler(std::atoi(entry->d_name), SCHED_FIFO, &param) == 0 && all;
    }
    ::closedir(dir);
    return all;
}

}  // namespace

void takeAudioPorts(AudioPeer &audio)
{
    // The audio ports are fixed: on a machine where tests run drivers too, wait for them.
    const int64_t portsDeadline = nowNs() + 600000 * ms;
    bool told = false;
    while (!driverPortsFree() || !audio.listen()) {
        if (errno != EADDRINUSE || nowNs() > portsDeadline)
            fail(std::string("cannot bind the audio ports 20002-20013 (") + std::strerror(errno) +
                 "): is another driver or test using them?");
        if (!told)
            std::cerr << "the audio ports 20002-20013 are in use; waiting up to 10 minutes"
                      << std::endl;
        told = true;
        ::usleep(500000);
    }
}

bool startSimulator(RunState &run, Child &simulator, const SimulatorRun &how)
{
    const std::string &dir = run.options.outDir;
    std::vector<std::string> args{run.options.sim, "--socket",     how.socket,
                                  "--multishield", "--timing-log", how.timingLog};
    if (how.busHz > 0)
        args.insert(args.end(), {"--bus-hz", std::to_string(how.busHz)});
    ::unlink(how.socket.c_str());
    if (!simulator.start(args, dir + "/" + how.name + ".out", dir + "/" + how.name + ".err"))
        return false;
    for (int i = 0; i < 100 && ::access(how.socket.c_str(), F_OK) != 0; ++i)
        ::usleep(50000);
    if (::access(how.socket.c_str(), F_OK) != 0)
        return false;
    ::usleep(100000);  // its input reader starts after the socket is there
    run.simulatorPriority = run.options.rtprio > 0 ? std::min(99, run.options.rtprio + 1) : 1;
    run.simulatorRealTime =
        run.options.realTimeSimulator && raiseToRealTime(simulator.pid(), run.simulatorPriority);
    for (int s = 0; s < AudioPeer::shields; ++s)
        simulator.writeLine("loopback " + std::to_string(s) + " on");
    return true;
}

bool startDriver(RunState &run, Child &driver, const std::string &socket,
                 const std::vector<std::string> &extra, const std::string &errFile)
{
    std::vector<std::string> args{run.options.driver, "-multishield", "-ic", "10",
                                  "-simbus",          socket};
    args.insert(args.end(), extra.begin(), extra.end());
    if (run.options.rtprio > 0)
        args.insert(args.end(), {"-rtprio", std::to_string(run.options.rtprio)});
    return driver.start(args, std::string(), errFile);
}

bool waitForSixShields(Child &driver, int64_t started, int64_t *lastReady, int64_t *lastPushed,
                       std::string *missing)
{
    *lastReady = *lastPushed = 0;
    for (int s = 0; s < AudioPeer::shields; ++s) {
        const std::string n = std::to_string(s);
        const int64_t ready = driver.waitForLine(n + " shield_ready", started + 40000 * ms);
        const int64_t pushed =
            driver.waitForLine("#Shield " + n + " update black list", started + 60000 * ms);
        if (ready < 0 || pushed < 0) {
            *missing = n;
            return false;
        }
        *lastReady = std::max(*lastReady, ready);
        *lastPushed = std::max(*lastPushed, pushed);
    }
    return true;
}

}  // namespace Bench
