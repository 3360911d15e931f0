#include "message.h"

#include "jsontext.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QMetaType>

namespace {
const int messagePtrTypeId = qRegisterMetaType<Message*>("Message*");

QString stringMember(const QJsonObject& obj, const char* key)
{
    return obj.value(QLatin1String(key)).toString();
}
} // namespace

Message::Message(QObject* parent) : QObject(parent)
{
    Q_UNUSED(messagePtrTypeId)
}

MessageAction::MessageAction(QObject* parent) : QObject(parent) {}

QString Message::listToJson(const QList<Message*>& messages)
{
    QJsonArray list;
    for (const Message* m : messages) {
        QJsonArray settings;
        for (auto it = m->settings.constBegin(); it != m->settings.constEnd(); ++it) {
            settings.append(QJsonObject{{QStringLiteral("key"), it.key()},
                                        {QStringLiteral("value"), it.value()}});
        }
        QJsonArray actions;
        for (const MessageAction* a : m->actions) {
            actions.append(QJsonObject{{QStringLiteral("id"), a->id},
                                       {QStringLiteral("action"), a->action},
                                       {QStringLiteral("url"), a->url}});
        }
        list.append(QJsonObject{{QStringLiteral("uuid"), m->uuid},
                                {QStringLiteral("messageForm"), m->messageForm},
                                {QStringLiteral("title"), m->title},
                                {QStringLiteral("summary"), m->summary},
                                {QStringLiteral("url"), m->url},
                                {QStringLiteral("authorName"), m->authorName},
                                {QStringLiteral("settings"), settings},
                                {QStringLiteral("actions"), actions}});
    }
    return QString::fromUtf8(QJsonDocument(list).toJson(QJsonDocument::Compact));
}

Message* Message::fromJson(const QString& json)
{
    auto* message = new Message();

    QJsonParseError error{};
    const QJsonDocument doc = parseJson(json.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError) {
        return message;
    }
    const QJsonObject obj = doc.object(); // an array gives an empty object

    const auto take = [&obj](const char* key, QString& member) {
        const QString k = QString::fromLatin1(key);
        if (obj.contains(k)) {
            member = obj.value(k).toString();
        }
    };
    take("messageFrom", message->messageForm);
    take("title", message->title);
    take("summary", message->summary);
    take("url", message->url);
    take("authorName", message->authorName);

    if (obj.contains(QLatin1String("settings"))) {
        const QJsonArray settings = obj.value(QLatin1String("settings")).toArray();
        for (const QJsonValue& element : settings) {
            const QJsonObject pair = element.toObject();
            message->settings.insert(stringMember(pair, "key"), stringMember(pair, "value"));
        }
    }
    if (obj.contains(QLatin1String("actions"))) {
        const QJsonArray actions = obj.value(QLatin1String("actions")).toArray();
        for (const QJsonValue& element : actions) {
            const QJsonObject a = element.toObject();
            auto* action = new MessageAction(message);
            action->id = stringMember(a, "id");
            action->action = stringMember(a, "action");
            action->url = stringMember(a, "url");
            message->actions.append(action);
        }
    }
    return message;
}
