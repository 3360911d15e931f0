#include "processchecker.h"

#include "core/clientpool.h"
#include "processlist.h"

#include <QDebug>

ProcessChecker::ProcessChecker(QObject* parent) : QObject(parent), lister(&listProcessIds)
{
    setObjectName(QStringLiteral("process checker thread"));
}

QList<QString> ProcessChecker::getAliveProcesssIds()
{
    return lister ? lister() : QList<QString>();
}

void ProcessChecker::setProcessLister(ProcessLister newLister)
{
    lister = std::move(newLister);
}

void ProcessChecker::doWork()
{
    const QList<QString> alive = getAliveProcesssIds();
    if (alive.isEmpty()) {
        return; // a failed enumeration must never empty the pool
    }

    // Pids are compared as exact text: "007", " 7" or "0" never match a
    // listed id, so such a client goes at the first successful check.
    const QStringList pids = clientPool.getPids();
    for (const QString& pid : pids) {
        if (!alive.contains(pid)) {
            clientPool.removeClient(pid);
            qDebug() << "remove process , pid=" << pid;
        }
    }

    // Taken again: a client registered meanwhile keeps the agent running.
    if (clientPool.getPids().isEmpty()) {
        emit onExit();
    }
}
