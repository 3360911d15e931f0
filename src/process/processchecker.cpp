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
    // listed id, so such a client goes at the first successful check. A pid
    // that runs may stand for another process than the one pooled (handed on
    // after its host ended) or for a zombie: that client goes too.
    const QList<PooledProcess> pooled = clientPool.processes();
    for (const PooledProcess& p : pooled) {
        if (!alive.contains(p.pid) || hasDeparted(p.stamp, readProcessStamp(p.pid))) {
            clientPool.removeClient(p.ref);
            qDebug() << "remove process , pid=" << p.pid;
        }
    }

    // Taken again: a client registered meanwhile keeps the agent running.
    if (clientPool.getPids().isEmpty()) {
        emit onExit();
    }
}
