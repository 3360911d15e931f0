// Where the agent's pipe lives on this system: one place for the server, the
// start-up client and the host-side tools.
#pragma once

#include <QString>

/// Name of the local pipe the agent listens on.
extern const QString PIPE_NAME; // "zav_msg_ipc_pipe"

/// The socket file of the pipe "zav_msg_ipc_pipe".
///
/// With XDG_RUNTIME_DIR set and not empty (the per-user 0700 runtime
/// directory), the file is $XDG_RUNTIME_DIR/zav_msg_ipc_pipe. Otherwise it
/// lives in the private directory <temp>/zav-msg-<uid>, which is created with
/// mode 0700 when missing. That directory is refused when it is not a
/// directory (a symbolic link included), belongs to another user, or can be
/// written by group or others: the result is then the empty text and *why,
/// if given, says what is wrong with it.
QString pipePath(QString* why = nullptr);
