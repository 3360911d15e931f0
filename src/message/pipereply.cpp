#include "pipereply.h"

#include <QJsonDocument>
#include <QJsonParseError>

bool isWholeReply(const QByteArray& reply)
{
    if (reply.isEmpty()) {
        return false;
    }
    if (reply.at(0) != '[') {
        return true;
    }
    QJsonParseError error{};
    QJsonDocument::fromJson(reply, &error);
    return error.error == QJsonParseError::NoError;
}
