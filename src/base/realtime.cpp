#include "base/realtime.h"

#include <cerrno>
#include <cstring>
#include <thread>

#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/resource.h>

namespace {

QString setFifo(int priority)
{
    sched_param param{};
    param.sched_priority = priority;
    const int error = ::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &param);
    return error == 0 ? QString() : QString::fromLocal8Bit(std::strerror(error));
}

// What the system's limit allows an unprivileged process, for the warning.
QString rtprioLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_RTPRIO, &limit) != 0)
        return QString();
    return limit.rlim_cur == RLIM_INFINITY ? QStringLiteral("unlimited")
                                           : QString::number(limit.rlim_cur);
}

}  // namespace

int RealTime::parse(const QString &text)
{
    bool ok = false;
    const int value = text.toInt(&ok, 10);
    return ok && value >= lowest && value <= highest ? value : 0;
}

RealTime::Grant RealTime::request(int priority)
{
    Grant grant;
    QString problem;
    std::thread([&] { problem = setFifo(priority); }).join();
    grant.priority = problem.isEmpty();
    if (!grant.priority) {
        grant.refused = QStringLiteral(
                            "real-time priority %1 refused (%2; needs root, "
                            "CAP_SYS_NICE or an rtprio limit of %1, this one is %3)")
                            .arg(priority)
                            .arg(problem, rtprioLimit());
        return grant;
    }
    int locked = ::mlockall(MCL_CURRENT | MCL_FUTURE | MCL_ONFAULT);
    if (locked != 0 && errno == EINVAL)  // a kernel before 4.4: everything at once
        locked = ::mlockall(MCL_CURRENT | MCL_FUTURE);
    if (locked == 0) {
        grant.memory = true;
    } else {
        const int error = errno;
        grant.refused = QStringLiteral(
                            "memory locking refused (%1; needs root, CAP_IPC_LOCK or "
                            "a memlock limit large enough)")
                            .arg(QString::fromLocal8Bit(std::strerror(error)));
    }
    return grant;
}

QString RealTime::enterThread(int priority)
{
    const QString problem = setFifo(priority);
    // The pages a cycle's calls will use are made resident now rather than faulted in during a
    // cycle; with the memory locked they stay.
    volatile char touched[64 * 1024];
    for (size_t i = 0; i < sizeof touched; i += 256)
        touched[i] = 0;
    return problem;
}
