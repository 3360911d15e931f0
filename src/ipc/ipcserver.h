// The agent's side of the local pipe: a thread that listens on the pipe and
// answers the text commands of host products and later copies of the agent.
#pragma once

#include <QLocalSocket>
#include <QString>
#include <QThread>

class Message;
class QLocalServer;

/// Serves the pipe's commands (see pipecommand.h), one command per read of a
/// connection (there is no framing). Texts are UTF-8 both ways; connections
/// stay open until the peer closes them.
class IpcServer : public QThread
{
    Q_OBJECT

public:
    /// Names the object "ipc server thread" and moves it to itself; nothing
    /// listens until start().
    explicit IpcServer(QObject* parent = nullptr);

    /// One command in, one reply out; a message to show leaves through onPopup.
    QString handleCommond(const QString& command);

signals:
    /// A message handed over with "PopupMessage:"; the receiver owns it. The
    /// message already belongs to the application's main thread.
    void onPopup(Message* message);

protected:
    void run() override;

private slots:
    void onClientConnected();
    void dataReceived();
    void socketErrorHandler(QLocalSocket::LocalSocketError error);

private:
    bool listenOnPipe();
    void serve(QLocalSocket* socket);

    QLocalServer* server = nullptr;
};
