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
    /// Builds and starts the watch; the first check comes 120 s later.
    explicit ProcessController(QObject* parent = nullptr);

public slots:
    /// Stops the watch thread, waits for it, then emits onExit().
    void exit();

signals:
    /// The agent should quit.
    void onExit();

private:
    QThread* thread = nullptr;
    QTimer* timer = nullptr;
    ProcessChecker* checker = nullptr;
};
