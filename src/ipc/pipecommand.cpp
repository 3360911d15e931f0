#include "pipecommand.h"

#include "message/message.h"

#include <QDebug>

namespace {

PipeAnswer replyWith(const QString& text, Message* popup = nullptr)
{
    PipeAnswer answer;
    answer.reply = text;
    answer.popup = popup;
    return answer;
}

} // namespace

PipeAnswer answerCommand(const QString& command, ClientPool& pool)
{
    static const QString registerPrefix = QStringLiteral("REGISTER:");
    static const QString popupPrefix = QStringLiteral("PopupMessage:");
    static const QString getPrefix = QStringLiteral("GetMessage:");
    static const QString countPrefix = QStringLiteral("MessageCount:");
    const QString ok = QStringLiteral("OK");

    if (command == QLatin1String("Hello")) {
        return replyWith(ok);
    }
    if (command.startsWith(registerPrefix)) {
        pool.addClient(new Client(command.mid(registerPrefix.size())));
        return replyWith(ok);
    }
    if (command.startsWith(popupPrefix)) {
        return replyWith(ok, Message::fromJson(command.mid(popupPrefix.size())));
    }
    if (command.startsWith(getPrefix)) {
        const QString pid = command.mid(getPrefix.size());
        // The queue is taken over under the pool's mutex, in the same critical
        // section as the look-up, and written out once it is ours alone.
        PipeAnswer answer;
        if (!pool.withClient(pid, [&answer](Client* client) {
                answer.messages.swap(client->messages);
                answer.from = ClientRef{client, client->serial};
            })) {
            return replyWith(QStringLiteral("0"));
        }
        if (answer.messages.isEmpty()) {
            answer.reply = QStringLiteral("[]");
        }
        return answer;
    }
    if (command.startsWith(countPrefix)) {
        const QString pid = command.mid(countPrefix.size());
        qDebug() << "pid:" << pid;
        int size = 0;
        if (!pool.withClient(pid, [&size](Client* client) { size = client->messages.size(); })) {
            return replyWith(QStringLiteral("0"));
        }
        qDebug() << "client exist, size :" << size;
        return replyWith(QString::number(size));
    }
    return replyWith(QStringLiteral("ERROR: can not hanlde command"));
}

QString takeReplyText(PipeAnswer& answer)
{
    if (answer.messages.isEmpty()) {
        return answer.reply;
    }
    const QString json = Message::listToJson(answer.messages);
    for (int i = answer.messages.size() - 1; i >= 0; --i) {
        delete answer.messages.takeAt(i);
    }
    return json;
}
