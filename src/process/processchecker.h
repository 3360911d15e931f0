// One check of the process watch: drops the pooled clients whose host process
// has ended and reports when no client is left.
#pragma once

#include <QList>
#include <QObject>
#include <QString>

#include <functional>

class ProcessChecker : public QObject
{
    Q_OBJECT

public:
    /// Returns the ids of the running processes as decimal texts; an empty
    /// list means the enumeration failed.
    using ProcessLister = std::function<QList<QString>()>;

    /// Named "process checker thread"; lists processes with listProcessIds().
    explicit ProcessChecker(QObject* parent = nullptr);

    /// The ids of the processes running now, as decimal texts without "0";
    /// empty when the enumeration failed.
    QList<QString> getAliveProcesssIds();

    /// Replaces the process enumeration (tests feed their own list). Set it
    /// before the checker is moved to its thread.
    void setProcessLister(ProcessLister lister);

signals:
    /// The pool was found empty after a check: the agent should quit.
    void onExit();

private slots:
    /// One check; driven by the watch timer, in the watch thread.
    void doWork();

private:
    ProcessLister lister;
};
