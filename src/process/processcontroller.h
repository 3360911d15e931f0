// Owns the process-watch thread, which drops clients whose host process has
// ended and asks the agent to quit when none is left.
#pragma once

#include <QObject>

class ProcessChecker;
class QThread;
class QTimer;

class ProcessController : public QObject
{
    Q_OBJECT

public:
    /// How often the agent checks its hosts: it ends at most this long after
    /// its last host.
    static constexpr int defaultIntervalMs = 120 * 1000;

    /// Builds and starts the watch; a check every intervalMs, the first one
    /// intervalMs after start-up.
    explicit ProcessController(QObject* parent = nullptr, int intervalMs = defaultIntervalMs);

    /// Milliseconds until the next check, or -1 once stopped. Main thread.
    int remainingTime() const;
    /// Stops the watch thread if exit() has not done so already (the agent
    /// may quit for other reasons, e.g. a termination signal).
    ~ProcessController() override;

public slots:
    /// Stops the watch thread, waits for it, then emits onExit(). Only the
    /// first call has an effect.
    void exit();

signals:
    /// The agent should quit.
    void onExit();

private:
    /// Ends the watch thread's loop and waits for it; thread, timer and
    /// checker then delete themselves. Returns false if already stopped.
    bool stopThread();

    QThread* thread = nullptr;
    QTimer* timer = nullptr;
    ProcessChecker* checker = nullptr;
    bool stopped = false;
};
