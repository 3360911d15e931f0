// The agent's side of the local pipe: a thread that listens on the pipe and
// answers the text commands of host products and later copies of the agent.
#pragma once

#include "ipc/pipecommand.h"
#include "ipc/pipelistener.h"

#include <QAtomicInt>
#include <QHash>
#include <QLocalSocket>
#include <QSemaphore>
#include <QString>
#include <QThread>

class Message;
class QTimer;

/// Serves the pipe's commands (see pipecommand.h), one command per read of a
/// connection (there is no framing). Texts are UTF-8 both ways; connections
/// stay open until the peer closes them.
///
/// One agent per pipe: the copy that is to listen first claims the pipe
/// (claimPipe(), see pipelistener.h) and holds it for its whole life.
class IpcServer : public QThread
{
    Q_OBJECT

public:
    using Claim = PipeListener::Claim;

    /// Names the object "ipc server thread" and moves it to itself; nothing
    /// listens until start().
    explicit IpcServer(QObject* parent = nullptr);
    /// Releases the claim, if held. The thread must have finished.
    ~IpcServer() override;

    /// Tries to claim the pipe; call before start(), from the thread that
    /// created the object. Taken or Claimed stays until the process ends.
    /// Without a private place for the pipe the claim is made all the same
    /// where it can be: one agent, with no pipe.
    Claim claimPipe() { return listener->claim(); }
    /// Whether claimPipe() found a place for the pipe.
    bool hasPipe() const { return listener->hasPipe(); }
    /// Waits up to timeoutMs for run() to have tried to listen; true when it
    /// listens.
    bool waitForListening(int timeoutMs);

    /// One command in, one reply out; a message to show leaves through onPopup.
    QString handleCommond(const QString& command);

signals:
    /// A message handed over with "PopupMessage:"; the receiver owns it. The
    /// message already belongs to the application's main thread.
    void onPopup(Message* message);

protected:
    void run() override;

private slots:
    /// Takes a connection that the listener has accepted.
    void onClientConnected(QLocalSocket* socket);
    void dataReceived();
    void socketErrorHandler(QLocalSocket::LocalSocketError error);

private:
    /// A "GetMessage:" list being written to one peer in parts.
    struct ReplyList
    {
        PipeAnswer answer;
        int written = 0; // messages serialised so far
        bool partQueued = false;
        QTimer* stall = nullptr;
    };

    void serve(QLocalSocket* socket);
    PipeAnswer answer(const QString& command);
    void startList(QLocalSocket* socket, PipeAnswer answer);
    void continueList(QLocalSocket* socket);
    void endList(QLocalSocket* socket, bool delivered);
    void releaseMemorySoon();

    PipeListener* listener; // lives here; the connections are its own
    QTimer* trimTimer = nullptr;
    QHash<QLocalSocket*, ReplyList> lists;
    int connections = 0;
    int maxConnections = 0;
    QSemaphore listenTried;
    QAtomicInt listening;
};
