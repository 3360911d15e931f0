// The shape both controllers share: a thread of their own, a repeating timer
// that lives in it, and a worker whose slot the timer calls there.
#pragma once

class QObject;
class QThread;
class QTimer;

/// Moves worker and timer to thread, calls worker's slot (a SLOT() text)
/// directly in that thread at every timeout, starts the timer when the thread
/// starts (so the first tick comes one interval later) and disposes of thread,
/// timer and worker when the thread finishes. Then starts the thread with the
/// inherited priority.
void startTimedWorker(QThread* thread, QTimer* timer, int intervalMs, QObject* worker,
                      const char* slot);

/// Ends the thread's event loop with code 0 and waits for it, without a time
/// limit. Timer and worker are deleted in the thread as it finishes.
void stopTimedWorker(QThread* thread);

/// Reads a value of a timer that runs in another thread, in that thread
/// (blocks until it has run there): what(timer). Returns fallback when the
/// timer is null.
int readTimer(QTimer* timer, int (*what)(const QTimer*), int fallback = -1);
