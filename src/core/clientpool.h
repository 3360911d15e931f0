// The process-wide pool of registered clients, which owns them.
#pragma once

#include "core/processstamp.h"
#include "message/client.h"
#include "message/limits.h"

#include <QHash>
#include <QList>
#include <QMutex>
#include <QMutexLocker>
#include <QObject>
#include <QString>
#include <QStringList>

/// A handed-out reference to a pooled client: the address plus the serial it
/// had when the reference was taken. Only ClientPool::withClient may turn it
/// back into a usable pointer.
struct ClientRef
{
    Client* client = nullptr;
    quint64 serial = 0;
};

/// A pooled client's process as the process watch sees it: the pid and what
/// its process was when the client was pooled.
struct PooledProcess
{
    QString pid;
    ClientRef ref;
    ProcessStamp stamp;
};

/// The process-wide list of clients, shared by the main, IPC, polling and
/// process-watch threads. The pool owns every pooled client and is the only
/// place that deletes one.
///
/// Lifetime of handed-out clients: a client may leave the pool (replaced by a
/// "REGISTER:" with the same pid, or removed by the process watch) while
/// another thread still refers to it. Threads other than the pool therefore
/// never keep a usable Client* across a release of the mutex. They keep a
/// ClientRef {address, serial} and reach the client through withClient(),
/// which runs the caller's step under the pool's mutex only if a pooled client
/// with that serial still exists. The client is looked up by its serial in
/// the pool's own index and only then compared by address, so a departed
/// client is never dereferenced, and a new client that happens to reuse a
/// departed one's address has a different serial and is never mistaken for
/// it. The pipe's queue commands use the
/// pid form of withClient(), which makes look-up plus queue access one
/// critical section, the same one the poller's "customize" append uses.
///
/// Queues are bounded: after every step run by withClient(), a client's
/// queue holds at most limits::maxQueuedMessages messages and
/// limits::maxQueuedTextBytes of message text; the oldest messages beyond that are dropped (with a
/// debug line). A step may append to a queue or take it whole; messages go back to the front only
/// through giveBack().
class ClientPool : public QObject
{
    Q_OBJECT

public:
    ClientPool() = default;
    /// Deletes the clients still pooled (and their queued messages).
    ~ClientPool() override;

    /// Takes ownership of a new client; a pooled client with the same pid is
    /// removed and deleted first, its queued messages moved to the front of
    /// the new one's queue (within the caps), and the new one goes to the
    /// end. Notes which process the pid stands for now (its start time).
    void addClient(Client* client);
    /// The first client with this pid, or null. The pointer is only safe to
    /// use while nothing can remove the client: prefer withClient().
    Client* getClient(const QString& pid);
    /// Removes and deletes the first client with this pid, if any.
    void removeClient(const QString& pid);
    /// Removes and deletes the referenced client if it is still pooled.
    void removeClient(const ClientRef& ref);
    /// A copy of the list of clients (see getClient() on safety).
    QList<Client*> getClients();
    /// The pid of every pooled client, in pool order.
    QStringList getPids();

    /// References to every pooled client, in pool order.
    QList<ClientRef> snapshot();
    /// Every pooled client's pid and process stamp, in pool order.
    QList<PooledProcess> processes();
    /// Number of pooled clients.
    int count();
    /// Removes and deletes every client.
    void clear();

    /// Runs step(Client*) under the pool's mutex on the first client with this
    /// pid. Returns false, without running step, if there is none. step must
    /// not call back into the pool.
    template <typename Step> bool withClient(const QString& pid, Step&& step)
    {
        QMutexLocker lock(&mutex);
        Client* c = byPid.value(pid);
        if (!c) {
            return false;
        }
        step(c);
        settleQueueLocked(c);
        return true;
    }

    /// Runs step(Client*) under the pool's mutex if the referenced client is
    /// still pooled. Returns false, without running step, if it has left.
    template <typename Step> bool withClient(const ClientRef& ref, Step&& step)
    {
        QMutexLocker lock(&mutex);
        // Looked up by serial and compared by address: a departed client's
        // address is never followed.
        Client* c = bySerial.value(ref.serial);
        if (!c || c != ref.client) {
            return false;
        }
        step(c);
        settleQueueLocked(c);
        return true;
    }

    /// Puts messages taken from the referenced client's queue back at its
    /// front, in their order (a reply that could not be delivered). If the
    /// client has left the pool they are deleted, as its queue was.
    void giveBack(const ClientRef& ref, QList<Message*> messages);

private:
    /// What the pool knows of one pooled client besides the client itself.
    struct Entry
    {
        ProcessStamp stamp;
        int countedMessages = 0;        // the front of the queue already counted
        Message* lastCounted = nullptr; // the last of them
        qint64 textBytes = 0;           // their message text
    };

    /// Unlinks c from the list and the indexes; the mutex must be held.
    void unlinkLocked(Client* c);
    /// Counts what a step appended to c's queue and drops the oldest
    /// messages beyond the caps; the mutex must be held.
    void settleQueueLocked(Client* c);

    QList<Client*> clients; // pool order
    // Indexes over the same clients: pids are unique in the pool, since
    // adding a client replaces the one with its pid.
    QHash<QString, Client*> byPid;
    QHash<quint64, Client*> bySerial;
    QHash<quint64, Entry> entries; // by serial
    QMutex mutex;
    quint64 lastSerial = 0;
};

/// The one pool of the process.
extern ClientPool clientPool;
