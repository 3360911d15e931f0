// The calling side of the pipe, used at start-up to find a running agent and
// hand it this copy's client.
#pragma once

#include <QLocalSocket>
#include <QObject>
#include <QString>

class IpcClient : public QObject
{
    Q_OBJECT

public:
    explicit IpcClient(QObject* parent = nullptr);

    /// Sends one command and returns the reply, or "NotConnected" when no agent
    /// accepted the connection within 500 ms. Blocks for at most about 1.5 s.
    /// The connection stays open for the next command.
    QString sendCommand(const QString& command);

private slots:
    void socketConnectedHandler();
    void socketDisConnectedHandler();
    void socketErrorHandler(QLocalSocket::LocalSocketError error);

private:
    QLocalSocket* socket = nullptr;
};
