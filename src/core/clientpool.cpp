#include "clientpool.h"

ClientPool clientPool;

ClientPool::~ClientPool()
{
    clear();
}

void ClientPool::addClient(Client* client)
{
    Client* replaced = nullptr;
    {
        QMutexLocker lock(&mutex);
        replaced = byPid.value(client->pid);
        if (replaced) {
            unlinkLocked(replaced);
        }
        client->serial = ++lastSerial;
        clients.append(client);
        byPid.insert(client->pid, client);
        bySerial.insert(client->serial, client);
    }
    delete replaced;
}

Client* ClientPool::getClient(const QString& pid)
{
    QMutexLocker lock(&mutex);
    return byPid.value(pid);
}

void ClientPool::removeClient(const QString& pid)
{
    Client* gone = nullptr;
    {
        QMutexLocker lock(&mutex);
        gone = byPid.value(pid);
        if (gone) {
            unlinkLocked(gone);
        }
    }
    delete gone;
}

void ClientPool::unlinkLocked(Client* c)
{
    clients.removeOne(c);
    byPid.remove(c->pid);
    bySerial.remove(c->serial);
}

QList<Client*> ClientPool::getClients()
{
    QMutexLocker lock(&mutex);
    return clients;
}

QStringList ClientPool::getPids()
{
    QMutexLocker lock(&mutex);
    QStringList pids;
    pids.reserve(clients.size());
    for (const Client* c : qAsConst(clients)) {
        pids.append(c->pid);
    }
    return pids;
}

QList<ClientRef> ClientPool::snapshot()
{
    QMutexLocker lock(&mutex);
    QList<ClientRef> refs;
    refs.reserve(clients.size());
    for (Client* c : qAsConst(clients)) {
        refs.append(ClientRef{c, c->serial});
    }
    return refs;
}

int ClientPool::count()
{
    QMutexLocker lock(&mutex);
    return clients.size();
}

void ClientPool::clear()
{
    QList<Client*> gone;
    {
        QMutexLocker lock(&mutex);
        gone.swap(clients);
        byPid.clear();
        bySerial.clear();
    }
    qDeleteAll(gone);
}
