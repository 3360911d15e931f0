// Process-wide objects of the agent: constants, the push service's base URL
// and the poll interval. The client pool lives in clientpool.h.
#pragma once

#include <QMutex>
#include <QString>

/// Protocol version sent to the push service as the query parameter "cv".
extern const QString PROTOCOL_VERSION; // "20150910"

/// Name of the local pipe the agent listens on (see ipc/pipepath.h for the
/// file it becomes on Linux).
extern const QString PIPE_NAME; // "zav_msg_ipc_pipe"

/// A text that one thread may replace while others read it. Readers always get
/// a copy taken under the lock.
class GuardedString
{
public:
    explicit GuardedString(QString initial) : value(std::move(initial)) {}
    QString get() const;
    void set(const QString& text);

private:
    mutable QMutex mutex;
    QString value;
};

/// Base URL of the push service, without a trailing slash. Initial value from
/// the build (CMake cache variable PUSH_BASE_URL); service code 903 replaces it
/// in the polling thread; the popup's action report reads it in the main thread.
extern GuardedString baseUrl;

/// Poll interval in seconds, 60 at start, kept within 1..14400 by the polling
/// controller. Main thread only.
extern int pollInterval;

/// Installs the agent's debug-line format: file, line and function before each
/// message, written to stderr. On Linux it also pins TZ to the system zone
/// file when TZ is unset, which keeps time stamps cheap.
void installMessagePattern();
