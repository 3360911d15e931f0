// The agent's side of the local pipe: a thread that listens on the pipe and
// answers the text commands of host products and later copies of the agent.
#pragma once

#include <QLocalSocket>
#include <QString>
#include <QThread>

class Message;
class QLocalServer;

class IpcServer : public QThread
{
    Q_OBJECT

public:
    /// Names the object "ipc server thread" and moves it to itself; nothing
    /// listens until start().
    explicit IpcServer(QObject* parent = nullptr);

    /// One command in, one reply out.
    QString handleCommond(const QString& command);

signals:
    /// A message handed over with "PopupMessage:"; the receiver owns it.
    void onPopup(Message* message);

protected:
    void run() override;

private slots:
    void onClientConnected();
    void dataReceived();
    void socketErrorHandler(QLocalSocket::LocalSocketError error);

private:
    QLocalServer* server = nullptr;
};
