#include "threadclock.h"

#include <QtGlobal>

#include <windows.h>

ThreadClock ThreadClock::ofThisThread()
{
    ThreadClock result;
    HANDLE thread = OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, GetCurrentThreadId());
    if (thread != nullptr) {
        result.clock = std::shared_ptr<void>(thread, [](void* h) { CloseHandle(h); });
    }
    return result;
}

double ThreadClock::cpuMs() const
{
    FILETIME created, exited, kernel, user;
    if (!clock || !GetThreadTimes(clock.get(), &created, &exited, &kernel, &user)) {
        return 0;
    }
    const auto ticks = [](const FILETIME& t) {
        return double((quint64(t.dwHighDateTime) << 32) | t.dwLowDateTime);
    };
    return (ticks(kernel) + ticks(user)) / 1e4; // 100 ns units
}
