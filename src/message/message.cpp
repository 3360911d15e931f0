#include "message.h"

#include "jsontext.h"
#include "limits.h"

#include <QDebug>
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

bool Message::addAction(const QString& id, const QString& label, const QString& url)
{
    if (actions.size() >= limits::maxActions) {
        return false;
    }
    auto* a = new MessageAction(this);
    a->id = id;
    a->action = label.left(limits::maxLabelLength);
    a->url = url;
    actions.append(a);
    return true;
}

bool Message::setSetting(const QString& name, const QString& value)
{
    if (settings.size() >= limits::maxSettings && !settings.contains(name)) {
        return false;
    }
    settings.insert(name, value);
    return true;
}

void Message::reportDropped(int droppedActions, int droppedSettings) const
{
    if (droppedActions > 0 || droppedSettings > 0) {
        qDebug().nospace() << "message " << title.left(100) << ": " << droppedActions
                           << " actions and " << droppedSettings << " settings dropped (at most "
                           << limits::maxActions << " and " << limits::maxSettings << " are kept)";
    }
}

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
    // A pipe command is one read, but what it asks for is built only up to
    // the caps: arrays are not even read past them.
    const QJsonDocument doc = parseJson(json.toUtf8(), &error, limits::maxSettings);
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

    const QJsonArray settings = obj.value(QLatin1String("settings")).toArray();
    for (const QJsonValue& element : settings) {
        const QJsonObject pair = element.toObject();
        message->setSetting(stringMember(pair, "key"), stringMember(pair, "value"));
    }
    const QJsonArray actions = obj.value(QLatin1String("actions")).toArray();
    int kept = 0;
    for (; kept < actions.size(); ++kept) {
        const QJsonObject a = actions.at(kept).toObject();
        if (!message->addAction(stringMember(a, "id"), stringMember(a, "action"),
                                stringMember(a, "url"))) {
            break;
        }
    }
    message->reportDropped(actions.size() - kept, 0);
    return message;
}
