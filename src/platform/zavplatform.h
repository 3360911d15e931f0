/* What differs between Windows and Linux and needs no Qt: the running
 * processes with their start times, and where the pipe lives and who may
 * use it. Plain C, so that the agent and the host library libzavmsg share
 * it: both find the pipe by the same code.
 *
 * Linux: platform_posix.c (/proc, a private directory for the socket).
 * Windows: platform_win.c (the process-status and security interfaces, a
 * named pipe); scripts/windows-check.sh builds it with MinGW-w64 and runs
 * its checks under wine. */
#ifndef ZAVPLATFORM_H
#define ZAVPLATFORM_H

#include <stddef.h>
#include <stdint.h>

#ifdef _WIN32
#include <windows.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The pipe's name; where it lives is up to zav_pipe_path(). */
#define ZAV_PIPE_NAME "zav_msg_ipc_pipe"

/* ---- Processes ---- */

/* The ids of the running processes, never 0, in the order the system gives
 * them: *ids is a buffer from malloc() for the caller to free(), holding
 * *count ids. Returns 0, or -1 when the enumeration failed (*ids is then
 * NULL): the caller must not conclude that nothing runs. */
int zav_process_ids(uint64_t** ids, size_t* count);

#ifndef _WIN32
/* The same for a proc file system mounted at root: every entry whose name is
 * a decimal number other than 0 that fits 64 bits. */
int zav_process_ids_in(const char* root, uint64_t** ids, size_t* count);
#endif

enum zav_process_state
{
    ZAV_PROCESS_UNKNOWN, /* cannot be told (no access) */
    ZAV_PROCESS_GONE,    /* no process has that id */
    ZAV_PROCESS_RUNNING,
    ZAV_PROCESS_ZOMBIE /* ended, but its id is still held (not yet reaped, a handle open) */
};

/* Which process an id stands for at one moment: an id is handed on to
 * another process once its owner has ended, the start time tells them apart. */
struct zav_stamp
{
    enum zav_process_state state;
    /* Clock ticks since boot (Linux) or the creation time in 100 ns units
     * since 1601 (Windows); 0 when not known. */
    uint64_t start_time;
};

/* The stamp of the process with this id; id 0 is gone. */
struct zav_stamp zav_read_stamp(uint64_t id);

#ifndef _WIN32
/* The same for a proc file system mounted at root (from root/ID/stat). */
struct zav_stamp zav_read_stamp_in(const char* root, uint64_t id);
#endif

/* ---- The pipe ---- */

/* Writes the agent's pipe for this user into path (size bytes, NUL
 * included) and returns 0; or returns -1, with the reason in why (why_size
 * bytes; why may be NULL), when there is no safe place for it or it does not
 * fit.
 *
 * Linux: $XDG_RUNTIME_DIR/zav_msg_ipc_pipe when that variable is set and not
 * empty; otherwise <temp>/zav-msg-<uid>/zav_msg_ipc_pipe, <temp> being
 * $TMPDIR or /tmp. That directory is created with mode 0700 when missing and
 * refused when it is not a directory (a symbolic link included), belongs to
 * another user or can be written by group or others.
 *
 * Windows: \\.\pipe\zav_msg_ipc_pipe-<the user's SID>, e.g.
 * \\.\pipe\zav_msg_ipc_pipe-S-1-5-21-1004336348-1177238915-682003330-1001.
 * Pipe names are shared by every session of the machine; the SID makes the
 * name the user's own, the agent claims it (zav_pipe_claim), open to that
 * user alone, and every client checks whom it reached
 * (zav_pipe_server_is_user). */
int zav_pipe_path(char* path, size_t size, char* why, size_t why_size);

/* Whether the process at the server end of a connected pipe runs as this
 * user: a pipe made by anyone else is not this user's agent. handle is the
 * connection's file descriptor (Linux: its peer's credentials) or its HANDLE
 * (Windows: the server's process id, that process's token). */
int zav_pipe_server_is_user(intptr_t handle);

#ifdef _WIN32
/* The name that host products of old open: \\.\pipe\zav_msg_ipc_pipe, the same
 * for every user of the machine. The agent serves it too while it can claim
 * it (the first user's agent); a host that wants its own user's agent
 * whatever other sessions run opens zav_pipe_path(). */
#define ZAV_PIPE_SHARED_PATH "\\\\.\\pipe\\" ZAV_PIPE_NAME

/* Creates the first instance of the named pipe at path, which only this user
 * may open, and only on this machine (a security descriptor that refuses the
 * NETWORK group and then allows the user's SID alone), and
 * keeps it for as long as the handle is open: whoever holds it is the one
 * agent of this user. INVALID_HANDLE_VALUE when the name exists already
 * (GetLastError(): ERROR_ACCESS_DENIED), made by this user's agent or by
 * anyone else, or cannot be made. */
HANDLE zav_pipe_claim(const char* path);
#endif

#ifdef __cplusplus
}
#endif

#endif
