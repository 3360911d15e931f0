// Helpers shared by the pipe tests: a private runtime directory per test, a
// record of the debug lines (logcapture.h), and one command/reply exchange on
// a socket.
#pragma once

#include "message/pipereply.h"
#include "logcapture.h"

#include <QByteArray>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalSocket>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

/// XDG_RUNTIME_DIR points to a fresh 0700 directory while this object lives,
/// so that no two tests (or test runs) share a pipe.
class PrivateRuntimeDir
{
public:
    PrivateRuntimeDir() : previous(qgetenv("XDG_RUNTIME_DIR"))
    {
        QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(dir.path()));
    }
    ~PrivateRuntimeDir() { qputenv("XDG_RUNTIME_DIR", previous); }
    PrivateRuntimeDir(const PrivateRuntimeDir&) = delete;
    PrivateRuntimeDir& operator=(const PrivateRuntimeDir&) = delete;

    QString path() const { return dir.path(); }
    QString pipe() const { return dir.path() + QStringLiteral("/zav_msg_ipc_pipe"); }

private:
    QTemporaryDir dir;
    QByteArray previous;
};

/// Sends one command on a connected socket and returns its reply (empty when
/// none came within timeoutMs).
inline QByteArray exchange(QLocalSocket& socket, const QByteArray& command, int timeoutMs = 5000)
{
    socket.write(command);
    socket.flush();
    QElapsedTimer clock;
    clock.start();
    QByteArray reply;
    while (!isWholeReply(reply) && clock.elapsed() < timeoutMs) {
        if (socket.bytesAvailable() > 0 || socket.waitForReadyRead(50)) {
            reply += socket.readAll();
        }
    }
    return reply;
}

inline const QByteArray errorReply = QByteArrayLiteral("ERROR: can not hanlde command");
