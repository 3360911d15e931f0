// What the debug-line writer (logging.cpp) needs of the system: the local
// time, stderr, and the set-up of the process and of the writer's thread.
// logsink_posix.cpp, logsink_win.cpp.
#pragma once

#include <QtGlobal>

#include <ctime>

namespace logsink {

/// Before any line: on Linux, TZ is pinned to the system's zone file when it
/// is unset, which keeps the once-a-second conversion of the time cheap.
void prepareProcess();
/// In the writer's thread, before its first write: on Linux, a reader of
/// stderr that has gone away makes the write fail instead of ending the
/// agent with SIGPIPE.
void prepareWriterThread();
/// The local time of second (seconds since 1970), as the toolkit converts it.
void localTime(time_t second, tm* local);
/// Writes all size bytes to stderr; false when it refuses them (none there).
bool writeStderr(const char* data, qint64 size);

} // namespace logsink
