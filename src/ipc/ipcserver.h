// The agent's side of the local pipe: a thread that listens on the pipe and
// answers the text commands of host products and later copies of the agent.
#pragma once

#include "ipc/pipecommand.h"

#include <QAtomicInt>
#include <QHash>
#include <QLocalSocket>
#include <QSemaphore>
#include <QString>
#include <QThread>

class Message;
class QLocalServer;
class QSocketNotifier;
class QTimer;

/// Serves the pipe's commands (see pipecommand.h), one command per read of a
/// connection (there is no framing). Texts are UTF-8 both ways; connections
/// stay open until the peer closes them.
///
/// One agent per pipe: the copy that is to listen first takes an exclusive
/// lock on a file beside the socket (claimPipe()) and holds it for its whole
/// life. Only the holder creates the socket, so a socket file found by the
/// holder is left over from an agent that has died and is removed; a copy
/// that cannot take the lock never touches the socket.
class IpcServer : public QThread
{
    Q_OBJECT

public:
    enum Claim
    {
        Claimed,   ///< this copy holds the lock: it is the one agent
        Taken,     ///< another live copy holds it
        Unclaimed, ///< no lock could be had (no private directory, ...)
    };

    /// Names the object "ipc server thread" and moves it to itself; nothing
    /// listens until start().
    explicit IpcServer(QObject* parent = nullptr);
    /// Releases the lock, if held. The thread must have finished.
    ~IpcServer() override;

    /// Tries to take the pipe's lock; call before start(), from the thread
    /// that created the object. Taken or Claimed stays until the process ends.
    /// Without a private directory for the pipe the lock is taken all the
    /// same, in the user's cache directory: one agent, with no pipe.
    Claim claimPipe();
    /// Whether claimPipe() found a place for the pipe.
    bool hasPipe() const { return !socketPath.isEmpty(); }
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
    /// Keeps the server's own accept() from meeting a shortage of descriptors.
    bool eventFilter(QObject* watched, QEvent* event) override;

private slots:
    /// Takes the connections that the server has accepted.
    void onClientConnected();
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

    bool listenOnPipe();
    void keepListening();
    void refuseConnection(QSocketNotifier* notifier);
    void serve(QLocalSocket* socket);
    PipeAnswer answer(const QString& command);
    void startList(QLocalSocket* socket, PipeAnswer answer);
    void continueList(QLocalSocket* socket);
    void endList(QLocalSocket* socket, bool delivered);
    void releaseMemorySoon();

    QLocalServer* server = nullptr; // the connections are its children
    QTimer* trimTimer = nullptr;
    QHash<QLocalSocket*, ReplyList> lists;
    QString socketPath;
    int lockFd = -1;
    int spareFd = -1; // given up to take a connection when descriptors run out
    int connections = 0;
    int maxConnections = 0;
    Claim claim = Unclaimed;
    QSemaphore listenTried;
    QAtomicInt listening;
};
