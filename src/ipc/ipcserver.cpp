#include "ipcserver.h"

#include "message/message.h"

#include <QLocalServer>

IpcServer::IpcServer(QObject* parent) : QThread(parent)
{
    setObjectName(QStringLiteral("ipc server thread"));
    moveToThread(this);
}

void IpcServer::run()
{
    exec();
}

QString IpcServer::handleCommond(const QString& command)
{
    Q_UNUSED(command)
    return QStringLiteral("ERROR: can not hanlde command");
}

void IpcServer::onClientConnected() {}
void IpcServer::dataReceived() {}
void IpcServer::socketErrorHandler(QLocalSocket::LocalSocketError error)
{
    Q_UNUSED(error)
}
