// Owns the polling thread, its timer and worker, and the handler that shows
// what the worker finds.
#pragma once

#include <QObject>

class MessageHandler;
class PollingWorker;
class QThread;
class QTimer;

class PollingController : public QObject
{
    Q_OBJECT

public:
    /// Builds everything and starts the polling thread; the first tick comes
    /// one interval (pollInterval seconds) later. firstIntervalMs, when above
    /// 0, replaces that interval until the service changes it (tests only).
    explicit PollingController(QObject* parent = nullptr, int firstIntervalMs = 0);
    /// Stops polling first if stop() was not called.
    ~PollingController() override;

    /// Ends the polling thread, waits for it, and deletes the handler.
    void stop();

    /// The timer's interval in milliseconds, read in the polling thread: 0
    /// while the timer is not running, -1 once stopped. Main thread only (tests).
    int timerInterval() const;

private slots:
    void changeInterval(int seconds);

private:
    QThread* thread = nullptr;
    QTimer* timer = nullptr;
    PollingWorker* worker = nullptr;
    MessageHandler* handler = nullptr;
    bool stopped = false;
};
