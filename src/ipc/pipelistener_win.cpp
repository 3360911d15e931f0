// The pipe on Windows: the named pipe \\.\pipe\zav_msg_ipc_pipe-<the user's
// SID>, whose first instance the agent creates and holds for its whole life
// (zav_pipe_claim: only this user may open it or add instances), and the
// shared name \\.\pipe\zav_msg_ipc_pipe that host products of old open,
// served too while this agent can claim it. The local servers add their
// instances to each name, open to this user alone.
#include "pipelistener.h"

#include "ipc/pipepath.h"
#include "message/limits.h"
#include "platform/zavplatform.h"

#include <QDebug>
#include <QLocalServer>
#include <QLocalSocket>

#include <vector>

namespace {

/// Whether the name at path is held by an agent of this user (the claim's
/// loser then hands over to it), as opposed to anyone else.
bool heldByThisUser(const QString& path)
{
    const HANDLE pipe =
        CreateFileW(reinterpret_cast<const wchar_t*>(path.utf16()), GENERIC_READ | GENERIC_WRITE, 0,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) {
        // A name this user may not open is not this user's; every instance
        // busy, or not yet made, is an agent of this user starting.
        return GetLastError() != ERROR_ACCESS_DENIED;
    }
    const bool mine = zav_pipe_server_is_user(reinterpret_cast<intptr_t>(pipe)) != 0;
    CloseHandle(pipe);
    return mine;
}

QString errorText(DWORD error)
{
    return qt_error_string(int(error));
}

} // namespace

struct PipeListener::State
{
    struct Name
    {
        QString path;
        HANDLE claim = INVALID_HANDLE_VALUE;
        QLocalServer* server = nullptr;
    };
    std::vector<Name> names; // the user's own first, then the shared one if claimed
    Claim claim = Unclaimed;

    /// The claim's handle on path, or INVALID_HANDLE_VALUE with the error set.
    static HANDLE claimName(const QString& path)
    {
        return zav_pipe_claim(path.toLocal8Bit().constData());
    }
};

PipeListener::PipeListener(QObject* parent) : QObject(parent), d(new State) {}

PipeListener::~PipeListener()
{
    close();
    for (const State::Name& name : d->names) {
        if (name.claim != INVALID_HANDLE_VALUE) {
            CloseHandle(name.claim);
        }
    }
}

PipeListener::Claim PipeListener::claim()
{
    if (d->claim == Claimed || d->claim == Taken) {
        return d->claim;
    }
    QString why;
    const QString own = pipePath(&why);
    if (own.isEmpty()) {
        qDebug().noquote() << "server : no name for the pipe:" << why;
        return d->claim = Unclaimed;
    }
    qDebug().noquote() << "server : pipe" << own << ", and" << ZAV_PIPE_SHARED_PATH;
    const HANDLE mine = State::claimName(own);
    if (mine == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_ACCESS_DENIED && heldByThisUser(own)) {
            return d->claim = Taken;
        }
        qDebug().noquote() << "server : the pipe's name is held by another user, or cannot be "
                              "made ("
                           << errorText(error) << "): running without a pipe";
        return d->claim = Unclaimed;
    }
    d->names.push_back({own, mine, nullptr});
    // The shared name: this agent's while no other user's agent has it.
    const QString shared = QString::fromLatin1(ZAV_PIPE_SHARED_PATH);
    const HANDLE common = State::claimName(shared);
    if (common != INVALID_HANDLE_VALUE) {
        d->names.push_back({shared, common, nullptr});
    } else {
        qDebug().noquote() << "server :" << shared
                           << "is held by another session's agent: hosts that open it reach "
                              "that one, hosts that open"
                           << own << "this one";
    }
    return d->claim = Claimed;
}

bool PipeListener::hasPipe() const
{
    return d->claim == Claimed || d->claim == Taken;
}

int PipeListener::maxConnections() const
{
    return limits::maxPipeConnections; // Windows has no per-process limit of pipe handles
}

bool PipeListener::listen()
{
    if (d->names.empty()) {
        qDebug() << "server : this copy holds no pipe name";
        return false;
    }
    bool listening = false;
    for (State::Name& name : d->names) {
        auto* server = new QLocalServer(this);
        // A DACL with one entry, this user: further instances of the name
        // are as private as the claimed one.
        server->setSocketOptions(QLocalServer::UserAccessOption);
        if (!server->listen(name.path)) {
            qDebug().noquote() << "server : listen on" << name.path << ":" << server->errorString();
            delete server;
            continue;
        }
        connect(server, &QLocalServer::newConnection, this, [this, server] {
            while (QLocalSocket* socket = server->nextPendingConnection()) {
                emit accepted(socket);
            }
        });
        name.server = server;
        listening = listening || &name == &d->names.front();
    }
    return listening; // the user's own name is the one that must listen
}

void PipeListener::close()
{
    for (State::Name& name : d->names) {
        delete name.server; // its connections with it
        name.server = nullptr;
    }
}

bool PipeListener::eventFilter(QObject* watched, QEvent* event)
{
    return QObject::eventFilter(watched, event);
}

void PipeListener::send(QLocalSocket* socket, const char* data, qint64 size)
{
    if (size > 0) {
        socket->write(data, size);
        socket->flush();
    }
}
