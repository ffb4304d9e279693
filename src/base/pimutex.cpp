#include "base/pimutex.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>

namespace {

[[noreturn]] void fatal(const char *what, int error)
{
    // No Console here: its own lock is one of these.
    std::fprintf(stderr, "#ERROR: mutex: %s failed: %s\n", what, std::strerror(error));
    std::abort();
}

}  // namespace

PiMutex::PiMutex()
{
    pthread_mutexattr_t attributes;
    int error = pthread_mutexattr_init(&attributes);
    if (error != 0)
        throw std::system_error(error, std::generic_category(), "pthread_mutexattr_init");
    error = pthread_mutexattr_setprotocol(&attributes, PTHREAD_PRIO_INHERIT);
    if (error == 0) {
        error = pthread_mutex_init(&handle, &attributes);
        inherits = error == 0;
    }
    pthread_mutexattr_destroy(&attributes);
    if (inherits)
        return;
    // No priority inheritance on this system (ENOTSUP): a plain mutex still serialises.
    error = pthread_mutex_init(&handle, nullptr);
    if (error != 0)
        throw std::system_error(error, std::generic_category(), "pthread_mutex_init");
}

PiMutex::~PiMutex()
{
    // EBUSY: a detached thread still held it when the process ended (the console streams live
    // until exit); what it guarded goes with the process, so nothing is left to do.
    const int error = pthread_mutex_destroy(&handle);
    if (error != 0 && error != EBUSY)
        fatal("destroy", error);
}

void PiMutex::lock()
{
    const int error = pthread_mutex_lock(&handle);
    if (error != 0)
        throw std::system_error(error, std::generic_category(), "pthread_mutex_lock");
}

bool PiMutex::try_lock()
{
    const int error = pthread_mutex_trylock(&handle);
    if (error == 0)
        return true;
    if (error == EBUSY)
        return false;
    throw std::system_error(error, std::generic_category(), "pthread_mutex_trylock");
}

void PiMutex::unlock()
{
    const int error = pthread_mutex_unlock(&handle);
    if (error != 0)
        fatal("unlock", error);
}
