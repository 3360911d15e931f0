// Turns SIGTERM, SIGINT and SIGHUP (a desktop session ending, a service
// manager stopping the agent) into an orderly quit of the event loop, so that
// the agent shuts down the same way as when its last host has gone.
#pragma once

#include <QObject>

class QSocketNotifier;

class TerminationWatcher : public QObject
{
    Q_OBJECT

public:
    explicit TerminationWatcher(QObject* parent = nullptr);
    ~TerminationWatcher() override;

signals:
    /// A termination signal arrived; emitted in the thread that owns the watcher.
    void onTerminate(int signalNumber);

private slots:
    void readSignal();

private:
    QSocketNotifier* notifier = nullptr;
};
