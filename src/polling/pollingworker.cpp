#include "pollingworker.h"

#include "app/globals.h"
#include "httpclient.h"
#include "message/jsontext.h"
#include "message/message.h"

#include <QCoreApplication>
#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>
#include <QStringList>
#include <QThread>
#include <QVariant>

namespace {

const QString detectPath = QStringLiteral("/channel/polling/detect?");
const QString messagePath = QStringLiteral("/channel/polling/message?");

// Values are read through the variant conversion: a string as is, a number
// as its decimal text, a boolean as "true"/"false", anything else as "".
QString text(const QJsonValue& value)
{
    return value.toVariant().toString();
}

// A number, or a string holding one; anything else counts as 0.
int integer(const QJsonValue& value)
{
    if (!value.isDouble() && !value.isString()) {
        return 0;
    }
    return value.toVariant().toInt();
}

Message* messageFrom(const QJsonValue& element)
{
    auto* message = new Message();
    const QJsonObject obj = element.toObject(); // not an object: empty
    message->uuid = text(obj.value(QLatin1String("uuid")));
    message->messageForm = text(obj.value(QLatin1String("messageForm")));
    message->title = text(obj.value(QLatin1String("title")));
    message->summary = text(obj.value(QLatin1String("summary")));
    message->url = text(obj.value(QLatin1String("url")));
    message->authorName = text(obj.value(QLatin1String("authorName")));

    const QJsonObject settings = obj.value(QLatin1String("settings")).toObject();
    for (auto it = settings.constBegin(); it != settings.constEnd(); ++it) {
        message->settings.insert(it.key(), text(it.value()));
    }

    const QJsonArray actions = obj.value(QLatin1String("actions")).toArray();
    for (const QJsonValue& a : actions) {
        auto* action = new MessageAction(message);
        const QJsonObject ao = a.toObject();
        action->id = text(ao.value(QLatin1String("id")));
        action->action = text(ao.value(QLatin1String("action")));
        action->url = text(ao.value(QLatin1String("url")));
        message->actions.append(action);
    }
    return message;
}

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
    QJsonParseError error{};
    const QJsonDocument doc = parseJson(msg.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError) {
        return;
    }
    qDebug().noquote() << "receive:" << msg;

    const QJsonObject answer = doc.object(); // an array or scalar gives an empty map
    const int code = integer(answer.value(QLatin1String("code")));
    const QJsonValue data = answer.value(QLatin1String("data"));
    // Every request of the worker carries a ticket; anything else has no client.
    const auto* ticket = qobject_cast<PollTicket*>(context);
    const ClientRef ref = ticket ? ticket->ref : ClientRef();

    switch (code) {
    case 800:
        if (integer(data) >= 1 && !send(messagePath, ref)) {
            dropped(code);
        }
        break;
    case 801: {
        QList<Message*> messages;
        const QJsonArray list = data.toArray();
        for (const QJsonValue& element : list) {
            messages.append(messageFrom(element));
        }
        deliver(ref, messages);
        break;
    }
    case 901: {
        const QString fingerprint = text(data);
        if (!clientPool.withClient(ref,
                                   [&fingerprint](Client* c) { c->fingerprint = fingerprint; })) {
            dropped(code);
        }
        break;
    }
    case 902:
        emit onChangeInterval(integer(data));
        break;
    case 903:
        baseUrl.set(text(data));
        break;
    case 904:
        if (!clientPool.withClient(ref, [](Client* c) { c->fingerprint.clear(); })) {
            dropped(code);
        }
        break;
    case 905:
        emit onUpdateClient();
        break;
    default:
        qDebug().nospace() << "can not handle message, code=" << code;
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
