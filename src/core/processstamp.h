// Which process a process id stands for right now: a pid alone can be handed
// to another process once its owner has ended, so a pooled client also keeps
// when its process started.
#pragma once

#include <QString>
#include <QtGlobal>

/// What can be told about the process with a given id at one moment.
struct ProcessStamp
{
    enum State
    {
        Unknown, ///< cannot be told (no access): only the pid counts
        Gone,    ///< no process has that id (or the id is not a canonical number)
        Running,
        Zombie ///< ended, but not yet reaped by its parent
    };
    State state = Unknown;
    /// When it started, in the system's own unit (clock ticks since boot on
    /// Linux, the creation time on Windows); 0 when not known.
    quint64 startTime = 0;
};

/// Reads the stamp of the process with this decimal id: on Linux from
/// /proc/<pid>/stat (state and start time), on Windows from the process's
/// creation time and exit code.
ProcessStamp readProcessStamp(const QString& pid);

/// Whether the pid of a client pooled when its process was seen as then
/// stands for another process now: it is (or was) a zombie, or a process runs
/// on it that started at another time, or one runs where none did. Whether a
/// process with that id exists at all is the process list's to say: a stamp
/// that is gone or unknown decides nothing.
bool hasDeparted(const ProcessStamp& then, const ProcessStamp& now);
