// What the agent reads about its page view's processes in /proc, for the
// bounds it holds them to itself where the kernel does not (no cgroup of
// their own): processor time, memory, the number of processes.
#pragma once

#include <QList>
#include <QPair>

#include <sys/types.h>

namespace pagewatch {

/// The processes below pid, all generations, found through each task's
/// children, at most `most` of them; more is set when there are others.
/// In the page view's sandbox (a process namespace of its own, whose first
/// process reaps the orphans) no process of the page view is missed.
QList<pid_t> descendants(pid_t pid, int most, bool* more = nullptr);

/// What pid and every process below it use now.
struct Usage
{
    /// User and system time, with the time of the children each has reaped
    /// (so a child that ended still counts), in ms.
    qint64 cpuMs = 0;
    /// Resident anonymous and shared memory (RssAnon, RssShmem), and in a
    /// sandbox what its private /tmp and /dev/shm hold.
    qint64 memory = 0;
    /// Processes, pid included; when more than limits::pageProcesses are
    /// below pid, the count stops there and tooMany is set.
    int processes = 0;
    bool tooMany = false;
};
/// sandboxed: pid is bwrap, whose first child has the sandbox's file system.
Usage usage(pid_t pid, bool sandboxed);

/// Processor time within a sliding window of limits::pageCpuWindowMs, from
/// samples of a total that only grows.
class CpuWindow
{
public:
    /// Takes the total processor time (ms) at nowMs; returns the time used
    /// within the window before nowMs, as far back as the samples go.
    qint64 add(qint64 nowMs, qint64 cpuMs);

private:
    QList<QPair<qint64, qint64>> samples; ///< (time, total), oldest first
};

} // namespace pagewatch
