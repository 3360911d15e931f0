#include "pushanswer.h"

#include "message/jsontext.h"
#include "message/limits.h"
#include "message/message.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>
#include <QVariant>

#include <limits>

namespace {

// Values are read through the variant conversion: a string as is, a number
// as its decimal text, a boolean as "true"/"false", anything else as "".
QString text(const QJsonValue& value)
{
    return value.toVariant().toString();
}

// A number, or a string holding one; anything else counts as 0. Numbers past
// the range of int stop at its ends instead of wrapping round.
int integer(const QJsonValue& value)
{
    const double intMax = std::numeric_limits<int>::max();
    const double intMin = std::numeric_limits<int>::min();
    double number = 0;
    if (value.isDouble()) {
        number = value.toDouble();
    } else if (value.isString()) {
        bool ok = false;
        const qlonglong whole = value.toString().toLongLong(&ok);
        if (ok) {
            return int(qBound<qlonglong>(qlonglong(intMin), whole, qlonglong(intMax)));
        }
        // Beyond 64 bits, or in exponent form: only its size matters then.
        number = value.toString().toDouble(&ok);
        if (!ok || (number < intMax && number > intMin)) {
            return 0;
        }
    } else {
        return 0;
    }
    if (number >= intMax) {
        return std::numeric_limits<int>::max();
    }
    if (number <= intMin) {
        return std::numeric_limits<int>::min();
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

    // Built only up to the caps, in the order the service gave them.
    const QJsonObject settings = obj.value(QLatin1String("settings")).toObject();
    int settingsKept = 0;
    for (auto it = settings.constBegin(); it != settings.constEnd(); ++it, ++settingsKept) {
        if (!message->setSetting(it.key(), text(it.value()))) {
            break;
        }
    }
    const QJsonArray actions = obj.value(QLatin1String("actions")).toArray();
    int actionsKept = 0;
    for (; actionsKept < actions.size(); ++actionsKept) {
        const QJsonObject a = actions.at(actionsKept).toObject();
        if (!message->addAction(text(a.value(QLatin1String("id"))),
                                text(a.value(QLatin1String("action"))),
                                text(a.value(QLatin1String("url"))))) {
            break;
        }
    }
    message->reportDropped(actions.size() - actionsKept, settings.size() - settingsKept);
    return message;
}

} // namespace

PushAnswer readPushAnswer(const QString& body)
{
    PushAnswer answer;
    QJsonParseError error{};
    // An 801 list is read up to its cap: the parser never sees the rest, so
    // an answer of millions of empty messages costs what its first ones do.
    bool cut = false;
    const QJsonDocument doc = parseJson(body.toUtf8(), &error, limits::maxMessagesPerAnswer, &cut);
    if (error.error != QJsonParseError::NoError) {
        return answer;
    }
    const QJsonObject object = doc.object(); // an array or scalar gives an empty map
    answer.code = integer(object.value(QLatin1String("code")));
    const QJsonValue data = object.value(QLatin1String("data"));

    switch (answer.code) {
    case 800:
        answer.action = integer(data) >= 1 ? PushAnswer::FetchMessages : PushAnswer::Nothing;
        break;
    case 801: {
        answer.action = PushAnswer::DeliverMessages;
        if (cut) {
            qDebug() << "answer holds more than" << limits::maxMessagesPerAnswer
                     << "messages (or actions of one): the rest not read";
        }
        const QJsonArray list = data.toArray();
        for (const QJsonValue& element : list) {
            answer.messages.append(messageFrom(element));
        }
        break;
    }
    case 901:
        answer.action = PushAnswer::SetFingerprint;
        answer.text = text(data);
        break;
    case 902:
        answer.action = PushAnswer::ChangeInterval;
        answer.seconds = integer(data);
        break;
    case 903:
        answer.action = PushAnswer::ChangeBaseUrl;
        answer.text = text(data);
        break;
    case 904:
        answer.action = PushAnswer::ClearFingerprint;
        break;
    case 905:
        answer.action = PushAnswer::UpdateClient;
        break;
    default:
        answer.action = PushAnswer::UnknownCode;
        break;
    }
    return answer;
}
