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
    /// one interval (pollInterval seconds) later.
    explicit PollingController(QObject* parent = nullptr);

    /// Ends the polling thread, waits for it, and deletes the handler.
    void stop();

private slots:
    void changeInterval(int seconds);

private:
    QThread* thread = nullptr;
    QTimer* timer = nullptr;
    PollingWorker* worker = nullptr;
    MessageHandler* handler = nullptr;
};
