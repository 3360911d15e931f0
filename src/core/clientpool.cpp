#include "clientpool.h"

#include "message/message.h"

#include <QDebug>

ClientPool clientPool;

namespace {

/// The text a message holds, in bytes of memory.
qint64 textBytes(const Message* m)
{
    qint64 chars = m->uuid.size() + m->messageForm.size() + m->title.size() + m->summary.size() +
                   m->url.size() + m->authorName.size();
    for (auto it = m->settings.constBegin(); it != m->settings.constEnd(); ++it) {
        chars += it.key().size() + it.value().size();
    }
    for (const MessageAction* a : m->actions) {
        chars += a->id.size() + a->action.size() + a->url.size();
    }
    return chars * qint64(sizeof(QChar));
}

} // namespace

ClientPool::~ClientPool()
{
    clear();
}

void ClientPool::addClient(Client* client)
{
    // Read before anyone else can see the client: a pid handed to another
    // process before the first check is then noticed at that check.
    Entry entry;
    entry.stamp = readProcessStamp(client->pid);
    Client* replaced = nullptr;
    {
        QMutexLocker lock(&mutex);
        replaced = byPid.value(client->pid);
        if (replaced) {
            // The host started again: its new description replaces the old
            // one, and what waited for it waits on, before anything new.
            unlinkLocked(replaced);
            client->messages = replaced->messages + client->messages;
            replaced->messages.clear();
        }
        client->serial = ++lastSerial;
        clients.append(client);
        byPid.insert(client->pid, client);
        bySerial.insert(client->serial, client);
        entries.insert(client->serial, entry);
        settleQueueLocked(client);
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

void ClientPool::removeClient(const ClientRef& ref)
{
    Client* gone = nullptr;
    {
        QMutexLocker lock(&mutex);
        gone = bySerial.value(ref.serial);
        if (gone && gone == ref.client) {
            unlinkLocked(gone);
        } else {
            gone = nullptr;
        }
    }
    delete gone;
}

void ClientPool::unlinkLocked(Client* c)
{
    clients.removeOne(c);
    byPid.remove(c->pid);
    bySerial.remove(c->serial);
    entries.remove(c->serial);
}

void ClientPool::settleQueueLocked(Client* c)
{
    Entry& e = entries[c->serial];
    QList<Message*>& queue = c->messages;
    if (queue.size() < e.countedMessages ||
        (e.countedMessages > 0 && queue.at(e.countedMessages - 1) != e.lastCounted)) {
        // Not only appended to (taken, or changed some other way): count anew.
        e.countedMessages = 0;
        e.textBytes = 0;
    }
    for (int i = e.countedMessages; i < queue.size(); ++i) {
        e.textBytes += textBytes(queue.at(i));
    }
    e.countedMessages = queue.size();

    int dropped = 0;
    while (!queue.isEmpty() &&
           (queue.size() > limits::maxQueuedMessages || e.textBytes > limits::maxQueuedTextBytes)) {
        Message* oldest = queue.takeFirst();
        e.textBytes -= textBytes(oldest);
        delete oldest;
        ++dropped;
    }
    e.countedMessages = queue.size();
    e.lastCounted = queue.isEmpty() ? nullptr : queue.last();
    if (dropped > 0) {
        qDebug().nospace() << "queue full, dropped the " << dropped << " oldest messages of pid "
                           << c->pid << " (" << queue.size() << " left, " << e.textBytes
                           << " bytes of text)";
    }
}

void ClientPool::giveBack(const ClientRef& ref, QList<Message*> messages)
{
    {
        QMutexLocker lock(&mutex);
        Client* c = bySerial.value(ref.serial);
        if (c && c == ref.client) {
            messages.append(c->messages);
            c->messages.swap(messages);
            messages.clear();
            Entry& e = entries[c->serial];
            e.countedMessages = 0; // counted anew
            e.textBytes = 0;
            settleQueueLocked(c);
        }
    }
    qDeleteAll(messages); // the client has left: its queue went with it
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

QList<PooledProcess> ClientPool::processes()
{
    QMutexLocker lock(&mutex);
    QList<PooledProcess> list;
    list.reserve(clients.size());
    for (Client* c : qAsConst(clients)) {
        list.append(PooledProcess{c->pid, ClientRef{c, c->serial}, entries.value(c->serial).stamp});
    }
    return list;
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
        entries.clear();
    }
    qDeleteAll(gone);
}
