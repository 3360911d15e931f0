// Where the agent's pipe listens on this system, and the claim that makes one
// copy the agent: a socket in a private directory with a lock file beside it
// (Linux, pipelistener_posix.cpp), or named pipes whose first instance the
// agent holds (Windows, pipelistener_win.cpp). IpcServer serves what it
// accepts; nothing here reads a command.
#pragma once

#include <QObject>
#include <QString>

#include <memory>

class QLocalSocket;

class PipeListener : public QObject
{
    Q_OBJECT

public:
    enum Claim
    {
        Claimed,   ///< this copy holds the pipe: it is the one agent
        Taken,     ///< another live copy holds it
        Unclaimed, ///< no claim could be had (no private directory, a name held by another user,
                   ///< ...)
    };

    explicit PipeListener(QObject* parent = nullptr);
    /// Gives up the claim, if held.
    ~PipeListener() override;

    /// Tries to make this copy the agent; before listen(). Taken or Claimed
    /// stays until the process ends.
    Claim claim();
    /// Whether claim() found a place for the pipe.
    bool hasPipe() const;
    /// In the thread that serves the pipe: listens, and keeps listening
    /// whatever happens to the system's side of it. False when it cannot.
    bool listen();
    /// Stops listening; the connections already accepted stay.
    void close();
    /// The most connections the pipe serves at once.
    int maxConnections() const;

    /// Sends bytes on a connection: straight to the system where it takes
    /// them at once, what it does not take the socket's buffered way.
    static void send(QLocalSocket* socket, const char* data, qint64 size);

signals:
    /// A connection was accepted; it is a child of the listener.
    void accepted(QLocalSocket* socket);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct State;
    std::unique_ptr<State> d;
};
