#include "pollingworker.h"

#include "core/globals.h"
#include "core/httpclient.h"
#include "core/urlpolicy.h"
#include "message/message.h"
#include "pushanswer.h"

#include <QCoreApplication>
#include <QDebug>
#include <QStringList>
#include <QThread>
#include <QUrl>

namespace {

const QString detectPath = QStringLiteral("/channel/polling/detect?");
const QString messagePath = QStringLiteral("/channel/polling/message?");

void dropped(int code)
{
    qDebug().nospace() << "client left the pool, answer dropped, code=" << code;
}

} // namespace

QString buildQuery(const Client* client)
{
    if (!client->fingerprint.isEmpty()) {
        return QStringLiteral("fingerprint=") + client->fingerprint;
    }
    QString query;
    const auto add = [&query](const char* name, const QString& value) {
        if (!value.isEmpty()) {
            query += QLatin1String(name) + QLatin1Char('=') + value + QLatin1Char('&');
        }
    };
    add("userId", client->uid);
    add("mac", client->mac);
    add("product", client->product);
    add("ukey", client->ukey);
    add("version", client->productVersion);
    add("purchased", client->purchase);
    add("cv", PROTOCOL_VERSION);
    if (!client->properties.isEmpty()) {
        QStringList entries;
        for (auto it = client->properties.constBegin(); it != client->properties.constEnd(); ++it) {
            entries << it.key() + QLatin1Char(':') + it.value();
        }
        add("properties", entries.join(QLatin1Char(',')));
    }
    if (query.size() > 1) {
        query.chop(1);
    }
    return query;
}

PollingWorker::PollingWorker(QObject* parent)
    : QObject(parent), httpClient(new HttpClient(this)), queue(new QList<ClientRef>())
{
    connect(httpClient, qOverload<QString, QObject*>(&HttpClient::onComplete), this,
            &PollingWorker::onServerResponse);
}

PollingWorker::~PollingWorker()
{
    delete queue;
}

void PollingWorker::doWork()
{
    if (queue->isEmpty()) {
        queue->append(clientPool.snapshot());
    }
    while (!queue->isEmpty()) {
        const ClientRef ref = queue->takeFirst();
        if (ref.client == nullptr) {
            return;
        }
        if (send(detectPath, ref)) {
            return;
        }
        qDebug() << "client left the pool, skipped";
    }
}

bool PollingWorker::send(const QString& path, const ClientRef& ref)
{
    QString query;
    // The query is built under the pool's mutex: the client cannot leave
    // while its fields are read.
    if (!clientPool.withClient(ref, [&query](Client* c) { query = buildQuery(c); })) {
        return false;
    }
    const QString url = baseUrl.get() + path + query;
    httpClient->get(url, new PollTicket(ref, httpClient));
    qDebug().noquote() << "request:" << url;
    return true;
}

void PollingWorker::onServerResponse(const QString& msg, QObject* context)
{
    PushAnswer answer = readPushAnswer(msg);
    if (answer.action == PushAnswer::NotJson) {
        return;
    }
    qDebug().noquote() << "receive:" << msg;

    // Every request of the worker carries a ticket; anything else has no client.
    const auto* ticket = qobject_cast<PollTicket*>(context);
    const ClientRef ref = ticket ? ticket->ref : ClientRef();
    const auto onClient = [&](const auto& step) {
        if (!clientPool.withClient(ref, step)) {
            dropped(answer.code);
        }
    };

    switch (answer.action) {
    case PushAnswer::NotJson:
    case PushAnswer::Nothing:
        break;
    case PushAnswer::FetchMessages:
        if (!send(messagePath, ref)) {
            dropped(answer.code);
        }
        break;
    case PushAnswer::DeliverMessages:
        deliver(ref, answer.messages);
        break;
    case PushAnswer::SetFingerprint:
        onClient([&answer](Client* c) { c->fingerprint = answer.text; });
        break;
    case PushAnswer::ChangeInterval:
        emit onChangeInterval(answer.seconds);
        break;
    case PushAnswer::ChangeBaseUrl:
        // Anything but a web address would make every later request read a
        // local file (a FIFO blocks this thread for good) or fail.
        if (urlpolicy::isWebUrl(QUrl(answer.text, QUrl::TolerantMode))) {
            baseUrl.set(answer.text);
        } else {
            qDebug().noquote() << "base URL not changed, not an http or https URL:"
                               << answer.text.left(200);
        }
        break;
    case PushAnswer::ClearFingerprint:
        onClient([](Client* c) { c->fingerprint.clear(); });
        break;
    case PushAnswer::UpdateClient:
        emit onUpdateClient();
        break;
    case PushAnswer::UnknownCode:
        qDebug().nospace() << "can not handle message, code=" << answer.code;
        break;
    }
}

void PollingWorker::deliver(const ClientRef& ref, QList<Message*> messages)
{
    QString handle;
    // Reading the mode and the "customize" append form one critical section
    // with the pipe's count and drain of the same queue.
    const bool pooled = clientPool.withClient(ref, [&](Client* c) {
        handle = c->handle;
        if (handle == QLatin1String("customize")) {
            c->messages.append(messages);
            messages.clear();
        }
    });
    if (!pooled) {
        dropped(801);
    } else if (handle == QLatin1String("auto")) {
        QThread* mainThread =
            QCoreApplication::instance() ? QCoreApplication::instance()->thread() : nullptr;
        for (Message* m : qAsConst(messages)) {
            // The receiver (a popup of the main thread) adopts it.
            if (mainThread) {
                m->moveToThread(mainThread);
            }
            emit onMessage(m);
        }
        messages.clear();
    } else if (handle != QLatin1String("customize")) {
        qDebug().noquote() << QStringLiteral("can not handle message with '") + handle + "'";
    }
    qDeleteAll(messages);
}
