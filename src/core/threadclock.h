// The processor time of one thread, readable from any other thread: the
// text layouts' budget is counted in it. threadclock_posix.cpp (the thread's
// CPU-time clock), threadclock_win.cpp (its times, through a handle).
#pragma once

#include <memory>

class ThreadClock
{
public:
    /// No thread: valid() is false.
    ThreadClock() = default;
    /// The clock of the thread that calls this.
    static ThreadClock ofThisThread();
    bool valid() const { return bool(clock); }
    /// The thread's processor time so far in milliseconds; 0 when not valid.
    double cpuMs() const;

private:
    std::shared_ptr<void> clock; // shared by copies; freed with the last
};
