#include "threadclock.h"

#include <pthread.h>
#include <time.h>

ThreadClock ThreadClock::ofThisThread()
{
    ThreadClock result;
    clockid_t id{};
    if (pthread_getcpuclockid(pthread_self(), &id) == 0) {
        result.clock = std::make_shared<clockid_t>(id);
    }
    return result;
}

double ThreadClock::cpuMs() const
{
    timespec t{};
    return clock && clock_gettime(*static_cast<const clockid_t*>(clock.get()), &t) == 0
               ? t.tv_sec * 1e3 + t.tv_nsec / 1e6
               : 0;
}
