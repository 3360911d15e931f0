// Turns the system's requests to end into an orderly quit of the event loop,
// so that the agent shuts down the same way as when its last host has gone:
// SIGTERM, SIGINT and SIGHUP on Linux (a desktop session ending, a service
// manager stopping the agent; terminationwatcher_posix.cpp); on Windows a
// console's Ctrl-C, Ctrl-Break and close, and the end of the user's session
// (terminationwatcher_win.cpp).
#pragma once

#include <QObject>

#include <memory>

class TerminationWatcher : public QObject
{
    Q_OBJECT

public:
    explicit TerminationWatcher(QObject* parent = nullptr);
    ~TerminationWatcher() override;

signals:
    /// The system asked the agent to end (the signal's number on Linux, the
    /// console event's on Windows); emitted in the thread that owns the
    /// watcher. At a Windows session's end the agent ends at once instead.
    void onTerminate(int signalNumber);

private:
    struct State;
    std::unique_ptr<State> d;
};
