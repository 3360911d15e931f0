#include "ipcclient.h"

#include "ipc/pipepath.h"

#include <QDebug>

namespace {
const int waitMs = 500;
}

IpcClient::IpcClient(QObject* parent) : QObject(parent), socket(new QLocalSocket(this))
{
    connect(socket, &QLocalSocket::connected, this, &IpcClient::socketConnectedHandler);
    connect(socket, &QLocalSocket::disconnected, this, &IpcClient::socketDisConnectedHandler);
    connect(socket, &QLocalSocket::errorOccurred, this, &IpcClient::socketErrorHandler);
}

QString IpcClient::sendCommand(const QString& command)
{
    if (socket->state() == QLocalSocket::UnconnectedState) {
        QString why;
        const QString path = pipePath(&why);
        if (path.isEmpty()) {
            qDebug().noquote() << "client: no private directory for the pipe:" << why;
            return QStringLiteral("NotConnected");
        }
        // Nobody within the time, or a pipe that is not this user's agent
        // (whoever made it).
        if (!connectToPipe(socket, path, waitMs)) {
            return QStringLiteral("NotConnected");
        }
    }

    socket->write(command.toUtf8());
    socket->flush();
    socket->waitForBytesWritten(waitMs); // outcome not needed: the reply decides
    qDebug() << "client: send succ";
    socket->waitForReadyRead(waitMs);
    const QByteArray bytes = socket->readAll();
    QString reply = QString::fromUtf8(bytes.constData(), bytes.size());
    qDebug() << "client: receive:" << reply;
    return reply;
}

void IpcClient::socketConnectedHandler()
{
    qDebug() << "client: socketConnectedHandler";
}

void IpcClient::socketDisConnectedHandler()
{
    qDebug() << "client: socketDisConnectedHandler";
}

void IpcClient::socketErrorHandler(QLocalSocket::LocalSocketError error)
{
    Q_UNUSED(error)
    qDebug() << "client: socketErrorHandler";
}
