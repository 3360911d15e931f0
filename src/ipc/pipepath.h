// Where the agent's pipe lives on this system: one place for the server and
// the start-up client, the same place (platform/zavplatform.h) that the host
// library libzavmsg finds.
#pragma once

#include <QString>

class QLocalSocket;

/// The pipe of this user's agent, as zav_pipe_path() finds it (on Linux the
/// socket file $XDG_RUNTIME_DIR/zav_msg_ipc_pipe, or one in a private
/// directory). The empty text when there is no safe place for it: *why, if
/// given, then says what is wrong.
QString pipePath(QString* why = nullptr);

/// Connects socket to the pipe at path within timeoutMs and checks that its
/// server runs as this user; false, with the socket unconnected, otherwise.
/// Linux: the socket's own connect (pipeconnect_posix.cpp). Windows:
/// CreateFile, and WaitNamedPipe for what is left of the time while every
/// instance is busy, the handle then given to the socket
/// (pipeconnect_win.cpp).
bool connectToPipe(QLocalSocket* socket, const QString& path, int timeoutMs);
