// Fuzzes Message::fromJson, the reader of the "PopupMessage:" argument, and
// the writer Message::listToJson on what it produced.
//
// Invariants: never crashes, never returns null, frees everything; the
// written list is a JSON array of one object that carries every member.
#include "fuzzcommon.h"
#include "message/limits.h"
#include "message/message.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), int(size));
    Message* message = Message::fromJson(text);
    fuzz::check(message != nullptr, "fromJson returned null");
    fuzz::check(message->parent() == nullptr, "fromJson gave the message a parent");
    fuzz::check(message->uuid.isEmpty(), "fromJson read a uuid");
    for (MessageAction* action : qAsConst(message->actions)) {
        fuzz::check(action->parent() == message, "an action is not a child of its message");
        fuzz::check(action->action.size() <= limits::maxLabelLength, "a label past its cap");
    }
    fuzz::check(message->actions.size() <= limits::maxActions &&
                    message->settings.size() <= limits::maxSettings,
                "more actions or settings than the caps");

    const QString written = Message::listToJson({message});
    const QJsonDocument doc = QJsonDocument::fromJson(written.toUtf8());
    fuzz::check(doc.isArray() && doc.array().size() == 1, "listToJson did not write one element");
    const QJsonObject obj = doc.array().at(0).toObject();
    fuzz::check(obj.size() == 8, "listToJson left out a member");
    fuzz::check(obj.value(QStringLiteral("actions")).toArray().size() == message->actions.size(),
                "listToJson lost an action");
    fuzz::check(obj.value(QStringLiteral("settings")).toArray().size() == message->settings.size(),
                "listToJson lost a setting");

    // Whatever the writer produced is an array, which the reader takes as an
    // empty object.
    Message* reread = Message::fromJson(written);
    fuzz::check(reread->title.isEmpty() && reread->actions.isEmpty(),
                "an array was read as a message");
    delete reread;
    delete message; // takes its actions with it
    return 0;
}
