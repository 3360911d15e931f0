#include "pipecommand.h"

#include "core/clientpool.h"
#include "message/message.h"

#include <QDebug>

PipeAnswer answerCommand(const QString& command, ClientPool& pool)
{
    static const QString registerPrefix = QStringLiteral("REGISTER:");
    static const QString popupPrefix = QStringLiteral("PopupMessage:");
    static const QString getPrefix = QStringLiteral("GetMessage:");
    static const QString countPrefix = QStringLiteral("MessageCount:");
    const QString ok = QStringLiteral("OK");

    if (command == QLatin1String("Hello")) {
        return {ok};
    }
    if (command.startsWith(registerPrefix)) {
        pool.addClient(new Client(command.mid(registerPrefix.size())));
        return {ok};
    }
    if (command.startsWith(popupPrefix)) {
        return {ok, Message::fromJson(command.mid(popupPrefix.size()))};
    }
    if (command.startsWith(getPrefix)) {
        const QString pid = command.mid(getPrefix.size());
        // The queue is taken over under the pool's mutex, in the same critical
        // section as the look-up, and written out once it is ours alone.
        QList<Message*> taken;
        if (!pool.withClient(pid, [&taken](Client* client) { taken.swap(client->messages); })) {
            return {QStringLiteral("0")};
        }
        const QString json = Message::listToJson(taken);
        for (int i = taken.size() - 1; i >= 0; --i) {
            delete taken.takeAt(i);
        }
        return {json};
    }
    if (command.startsWith(countPrefix)) {
        const QString pid = command.mid(countPrefix.size());
        qDebug() << "pid:" << pid;
        int size = 0;
        if (!pool.withClient(pid, [&size](Client* client) { size = client->messages.size(); })) {
            return {QStringLiteral("0")};
        }
        qDebug() << "client exist, size :" << size;
        return {QString::number(size)};
    }
    return {QStringLiteral("ERROR: can not hanlde command")};
}
