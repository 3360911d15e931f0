#include "ipcclient.h"

IpcClient::IpcClient(QObject* parent) : QObject(parent), socket(new QLocalSocket(this)) {}

QString IpcClient::sendCommand(const QString& command)
{
    Q_UNUSED(command)
    return QStringLiteral("NotConnected");
}

void IpcClient::socketConnectedHandler() {}
void IpcClient::socketDisConnectedHandler() {}
void IpcClient::socketErrorHandler(QLocalSocket::LocalSocketError error)
{
    Q_UNUSED(error)
}
