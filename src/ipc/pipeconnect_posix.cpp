#include "ipc/pipepath.h"

#include "platform/zavplatform.h"

#include <QLocalSocket>

bool connectToPipe(QLocalSocket* socket, const QString& path, int timeoutMs)
{
    socket->connectToServer(path, QIODevice::ReadWrite);
    if (!socket->waitForConnected(timeoutMs) ||
        !zav_pipe_server_is_user(intptr_t(socket->socketDescriptor()))) {
        socket->abort();
        return false;
    }
    return true;
}
