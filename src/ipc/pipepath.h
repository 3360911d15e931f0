// Where the agent's pipe lives on this system: one place for the server and
// the start-up client, the same place (platform/zavplatform.h) that the host
// library libzavmsg finds.
#pragma once

#include <QString>

/// The pipe of this user's agent, as zav_pipe_path() finds it (on Linux the
/// socket file $XDG_RUNTIME_DIR/zav_msg_ipc_pipe, or one in a private
/// directory). The empty text when there is no safe place for it: *why, if
/// given, then says what is wrong.
QString pipePath(QString* why = nullptr);
