// Process-wide values of the agent: the protocol version, the push service's
// base URL and the poll interval. The client pool lives in clientpool.h.
#pragma once

#include <QMutex>
#include <QString>

/// Protocol version sent to the push service as the query parameter "cv".
extern const QString PROTOCOL_VERSION; // "20150910"

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

/// Base URL of the push service, without a trailing slash. Starts as
/// initialPushBaseUrl; service code 903 replaces it in the polling thread; the
/// popup's action report reads it in the main thread.
extern GuardedString baseUrl;

/// The push service's base URL a program was built for (the CMake cache
/// variable PUSH_BASE_URL). Defined by each program, not by the library: the
/// agent gets the deployment's URL, the tests their own.
extern const char* const initialPushBaseUrl;

/// Poll interval in seconds, 60 at start, kept within 1..14400 by the polling
/// controller. Main thread only.
extern int pollInterval;
