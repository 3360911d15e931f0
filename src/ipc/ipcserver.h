// The agent's side of the local pipe: a thread that listens on the pipe and
// answers the text commands of host products and later copies of the agent.
#pragma once

#include <QLocalSocket>
#include <QString>
#include <QThread>

class Message;
class QLocalServer;

/// Protocol, one command per read of a connection (there is no framing):
///   "Hello"                    -> "OK"
///   "REGISTER:" + client text  -> "OK" (the client is pooled)
///   "PopupMessage:" + JSON     -> "OK" (the message leaves through onPopup)
///   "GetMessage:" + pid        -> the client's queued messages as a JSON
///                                 array, which empties the queue; "0" for
///                                 an unknown pid
///   "MessageCount:" + pid      -> the length of that queue; "0" for an
///                                 unknown pid
///   anything else              -> "ERROR: can not hanlde command"
/// Texts are UTF-8 both ways; connections stay open until the peer closes them.
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
