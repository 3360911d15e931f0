#include "pushservice.h"

#include <QDateTime>
#include <QFile>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QJsonValue>

namespace {

Reply json(const QJsonObject& obj, int status = 200)
{
    Reply r;
    r.status = status;
    r.body = QJsonDocument(obj).toJson(QJsonDocument::Compact) + "\n";
    return r;
}

Reply bad(const QString& reason)
{
    Reply r;
    r.status = 400;
    r.body = reason.toUtf8() + "\n";
    r.contentType = "text/plain; charset=utf-8";
    return r;
}

QString keyFor(const QString& mac, const QString& product)
{
    return QStringLiteral("mac=%1&product=%2").arg(mac, product);
}

const char* const toHelp =
    R"(give "to": "all", {"mac":"...","product":"..."} or {"fingerprint":"..."})";

} // namespace

QString PushService::describe(const Params& query)
{
    QString text;
    for (auto it = query.constBegin(); it != query.constEnd(); ++it) {
        text += (text.isEmpty() ? "" : "&") + it.key() + "=" + it.value();
    }
    return text;
}

QString PushService::keyOf(const Params& query) const
{
    const QString fingerprint = query.value(QStringLiteral("fingerprint"));
    if (!fingerprint.isEmpty()) {
        return fingerprintOwner.value(fingerprint, QStringLiteral("fingerprint=") + fingerprint);
    }
    const QString mac = query.value(QStringLiteral("mac"));
    const QString product = query.value(QStringLiteral("product"));
    if (mac.isEmpty() && product.isEmpty()) {
        return QString();
    }
    return keyFor(mac, product);
}

bool PushService::takeRaw(const QString& key, Reply& reply)
{
    if (raw.isEmpty()) {
        return false;
    }
    const Raw next = raw.takeFirst();
    reply.status = next.status;
    reply.body = next.body;
    // A fingerprint handed out keeps leading to the same queue.
    const QJsonObject answer = QJsonDocument::fromJson(next.body).object();
    if (answer.value(QLatin1String("code")).toVariant().toInt() == 901 && !key.isEmpty()) {
        const QString fingerprint = answer.value(QLatin1String("data")).toVariant().toString();
        if (!fingerprint.isEmpty()) {
            fingerprintOwner.insert(fingerprint, key);
        }
    }
    return true;
}

int PushService::waiting(const QString& key) const
{
    return perClient.value(key).size() + broadcast.size() - broadcastSeen.value(key, 0);
}

Reply PushService::detect(const Params& query)
{
    std::lock_guard<std::mutex> lock(mutex);
    const QString key = keyOf(query);
    Reply reply;
    if (takeRaw(key, reply)) {
        return reply;
    }
    return json({{"code", 800}, {"data", key.isEmpty() ? 0 : waiting(key)}});
}

Reply PushService::fetch(const Params& query)
{
    std::lock_guard<std::mutex> lock(mutex);
    const QString key = keyOf(query);
    Reply reply;
    if (takeRaw(key, reply)) {
        return reply;
    }
    QJsonArray list;
    if (!key.isEmpty()) {
        for (int i = broadcastSeen.value(key, 0); i < broadcast.size(); ++i) {
            list.append(broadcast.at(i));
        }
        broadcastSeen.insert(key, broadcast.size());
        for (const QJsonObject& m : perClient.take(key)) {
            list.append(m);
        }
    }
    return json({{"code", 801}, {"data", list}});
}

Reply PushService::action(const Params& query)
{
    std::lock_guard<std::mutex> lock(mutex);
    reports.append(
        QJsonObject{{"id", query.value(QStringLiteral("id"))},
                    {"time", QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)}});
    return json({{"code", 0}, {"data", "recorded"}});
}

QString PushService::add(const QJsonObject& request, int* count)
{
    const QJsonValue to = request.value(QLatin1String("to"));
    QString key;
    if (to.isString()) {
        if (to.toString() != QLatin1String("all")) {
            return QStringLiteral("\"to\" is a text other than \"all\": ") + toHelp;
        }
    } else if (to.isObject()) {
        const QJsonObject t = to.toObject();
        const QJsonValue fingerprint = t.value(QLatin1String("fingerprint"));
        const QJsonValue mac = t.value(QLatin1String("mac"));
        const QJsonValue product = t.value(QLatin1String("product"));
        if (fingerprint.isString() && !fingerprint.toString().isEmpty()) {
            key = QStringLiteral("fingerprint=") + fingerprint.toString();
        } else if (mac.isString() && product.isString() &&
                   !(mac.toString().isEmpty() && product.toString().isEmpty())) {
            key = keyFor(mac.toString(), product.toString());
        } else {
            return QStringLiteral("\"to\" names no client: ") + toHelp;
        }
    } else {
        return QStringLiteral("missing or mistyped \"to\": ") + toHelp;
    }

    QList<QJsonObject> messages;
    const QJsonValue one = request.value(QLatin1String("message"));
    const QJsonValue many = request.value(QLatin1String("messages"));
    if (one.isObject()) {
        messages << one.toObject();
    } else if (many.isArray() && !many.toArray().isEmpty()) {
        const QJsonArray list = many.toArray();
        for (int i = 0; i < list.size(); ++i) {
            if (!list.at(i).isObject()) {
                return QStringLiteral("\"messages\"[%1] is not an object").arg(i);
            }
            messages << list.at(i).toObject();
        }
    } else {
        return QStringLiteral(
            R"(give "message" (an object) or "messages" (a non-empty array of objects))");
    }

    if (key.isEmpty()) {
        broadcast.append(messages);
    } else {
        // A fingerprint the service handed out belongs to a mac/product queue.
        if (key.startsWith(QLatin1String("fingerprint="))) {
            key = fingerprintOwner.value(key.mid(12), key);
        }
        perClient[key].append(messages);
    }
    *count += messages.size();
    return QString();
}

Reply PushService::addMessages(const QByteArray& body)
{
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError) {
        return bad(QStringLiteral("body is not JSON: %1 at offset %2")
                       .arg(error.errorString())
                       .arg(error.offset));
    }
    if (!doc.isObject()) {
        return bad(QStringLiteral("body must be a JSON object"));
    }
    std::lock_guard<std::mutex> lock(mutex);
    int count = 0;
    const QString reason = add(doc.object(), &count);
    if (!reason.isEmpty()) {
        return bad(reason);
    }
    return json({{"queued", count}});
}

Reply PushService::queueRaw(const QByteArray& body, const QString& status)
{
    if (body.trimmed().isEmpty()) {
        return bad(QStringLiteral(
            "empty body: give the answer to serve, e.g. {\"code\":902,\"data\":30}"));
    }
    int code = 200;
    if (!status.isNull()) {
        bool ok = false;
        code = status.toInt(&ok);
        if (!ok || code < 200 || code > 599) {
            return bad(QStringLiteral("status must be a number from 200 to 599"));
        }
    }
    std::lock_guard<std::mutex> lock(mutex);
    raw.append({code, body});
    return json({{"next", raw.size()}});
}

Reply PushService::actions()
{
    std::lock_guard<std::mutex> lock(mutex);
    return json({{"actions", reports}});
}

Reply PushService::queues()
{
    std::lock_guard<std::mutex> lock(mutex);
    QJsonObject waitingPerKey;
    QStringList keys = perClient.keys() + broadcastSeen.keys();
    for (const QString& key : qAsConst(keys)) {
        waitingPerKey.insert(key, waiting(key));
    }
    QJsonObject fingerprints;
    for (auto it = fingerprintOwner.constBegin(); it != fingerprintOwner.constEnd(); ++it) {
        fingerprints.insert(it.key(), it.value());
    }
    return json({{"waiting", waitingPerKey},
                 {"all", broadcast.size()},
                 {"fingerprints", fingerprints},
                 {"next", raw.size()}});
}

QString PushService::load(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
    }
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &error);
    if (error.error != QJsonParseError::NoError) {
        return QStringLiteral("%1 is not JSON: %2 at offset %3")
            .arg(path, error.errorString())
            .arg(error.offset);
    }
    QJsonArray entries = doc.isArray() ? doc.array() : QJsonArray{doc.object()};
    std::lock_guard<std::mutex> lock(mutex);
    int count = 0;
    for (int i = 0; i < entries.size(); ++i) {
        const QString reason = add(entries.at(i).toObject(), &count);
        if (!reason.isEmpty()) {
            return QStringLiteral("%1, entry %2: %3").arg(path).arg(i).arg(reason);
        }
    }
    return QString();
}
