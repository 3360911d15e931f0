// Asks the push service, one registered client per timer tick, whether
// messages wait, fetches them and delivers them by the client's handling mode.
#pragma once

#include "core/clientpool.h"

#include <QList>
#include <QObject>
#include <QString>

class HttpClient;
class Message;

/// The query string that describes one client to the push service:
/// "fingerprint=F" alone once the service handed out a fingerprint, otherwise
/// userId, mac, product, ukey, version, purchased (each only when not empty),
/// cv and properties (only when there are any), joined by "&". Nothing is
/// escaped. The caller must keep the client alive (hold the pool's mutex).
QString buildQuery(const Client* client);

/// The context of one request of the worker: which client it was made for.
/// Created with the worker's HttpClient as parent, so the request owns it and
/// it is deleted when the request ends. It refers to the client only through
/// a ClientRef, so an answer for a client that left the pool meanwhile is
/// recognised (ClientPool::withClient() finds no client) and dropped.
class PollTicket : public QObject
{
    Q_OBJECT

public:
    PollTicket(const ClientRef& ref, QObject* parent) : QObject(parent), ref(ref) {}

    const ClientRef ref;
};

/// Lives in the polling thread. Each doWork() polls the next client of the
/// current pass through the pool; answers arrive at onServerResponse().
class PollingWorker : public QObject
{
    Q_OBJECT

public:
    explicit PollingWorker(QObject* parent = nullptr);
    ~PollingWorker() override;

signals:
    /// A message for an "auto" client; the receiver owns it.
    void onMessage(Message* message);
    /// The interval the service asked for (code 902), unchecked.
    void onChangeInterval(int seconds);
    /// The service asked for a client update (code 905).
    void onUpdateClient();

public slots:
    /// One tick: sends the detect request for the next client of the pass.
    void doWork();

private slots:
    void onServerResponse(const QString& msg, QObject* context);

private:
    /// Sends baseUrl + path + the client's query, if the client is still pooled.
    bool send(const QString& path, const ClientRef& ref);
    void deliver(const ClientRef& ref, QList<Message*> messages);

    HttpClient* httpClient = nullptr;
    /// Clients still to be polled in this pass; refers to them, owns none.
    QList<ClientRef>* queue = nullptr;
};
