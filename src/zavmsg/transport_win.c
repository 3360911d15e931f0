/* libzavmsg's connection on Windows: the agent's named pipe, opened with
 * CreateFile (WaitNamedPipe while every instance is busy) and read and
 * written with overlapped calls, each waited for until the deadline. */
#include "transport.h"

#include "platform/zavplatform.h"

#include <stdio.h>
#include <stdlib.h>

struct transport
{
    HANDLE pipe;
    HANDLE event; /* signalled when an overlapped call is done */
};

int64_t transport_now_ms(void)
{
    return (int64_t)GetTickCount64();
}

static DWORD left_ms(int64_t deadline)
{
    const int64_t left = deadline - transport_now_ms();
    return left <= 0 ? 0 : left >= (int64_t)INFINITE ? INFINITE - 1 : (DWORD)left;
}

struct transport* transport_open(const char* path, int64_t deadline, char* why, size_t why_size)
{
    HANDLE pipe = INVALID_HANDLE_VALUE;
    for (;;) {
        pipe = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, NULL);
        if (pipe != INVALID_HANDLE_VALUE) {
            break;
        }
        const DWORD error = GetLastError();
        const DWORD left = left_ms(deadline);
        /* Every instance is taken: wait for one, within the time left. */
        if (error == ERROR_PIPE_BUSY && left > 0 && WaitNamedPipeA(path, left)) {
            continue;
        }
        const char* reason = error == ERROR_FILE_NOT_FOUND ? "no pipe of that name"
                             : error == ERROR_PIPE_BUSY    ? "timed out, every instance busy"
                             : error == ERROR_ACCESS_DENIED
                                 ? "access denied: the pipe is not this user's"
                                 : NULL;
        if (reason != NULL) {
            snprintf(why, why_size, "no agent is listening on %s (%s)", path, reason);
        } else {
            snprintf(why, why_size, "no agent is listening on %s (error %lu)", path,
                     (unsigned long)error);
        }
        return NULL;
    }
    if (!zav_pipe_server_is_user((intptr_t)pipe)) {
        CloseHandle(pipe);
        snprintf(why, why_size, "the pipe %s is not served by this user's agent", path);
        return NULL;
    }
    struct transport* t = malloc(sizeof *t);
    HANDLE event = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (t == NULL || event == NULL) {
        free(t);
        if (event != NULL) {
            CloseHandle(event);
        }
        CloseHandle(pipe);
        snprintf(why, why_size, "out of memory");
        return NULL;
    }
    t->pipe = pipe;
    t->event = event;
    return t;
}

/* Waits for an overlapped call begun with ok (its return value) until the
 * deadline; cancels it when time is up. The bytes moved, or -1 (broken) or
 * -2 (time is up); 0 when the other end has closed. */
static long finish(struct transport* t, OVERLAPPED* call, BOOL ok, int64_t deadline)
{
    DWORD moved = 0;
    if (!ok && GetLastError() != ERROR_IO_PENDING) {
        const DWORD error = GetLastError();
        return error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED ? TRANSPORT_CLOSED
                                                                               : TRANSPORT_BROKEN;
    }
    if (WaitForSingleObject(t->event, left_ms(deadline)) != WAIT_OBJECT_0) {
        CancelIo(t->pipe);
        /* The call must be over before its OVERLAPPED goes; it may have
         * completed all the same. */
        if (!GetOverlappedResult(t->pipe, call, &moved, TRUE) || moved == 0) {
            return TRANSPORT_TIME_UP;
        }
        return (long)moved;
    }
    if (!GetOverlappedResult(t->pipe, call, &moved, FALSE)) {
        const DWORD error = GetLastError();
        return error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED ? TRANSPORT_CLOSED
                                                                               : TRANSPORT_BROKEN;
    }
    return (long)moved;
}

int transport_send(struct transport* t, const char* bytes, size_t length, int64_t deadline,
                   char* why, size_t why_size)
{
    for (size_t sent = 0; sent < length;) {
        const size_t rest = length - sent;
        const DWORD part = rest > (1u << 30) ? (1u << 30) : (DWORD)rest;
        OVERLAPPED call = {0};
        call.hEvent = t->event;
        ResetEvent(t->event);
        const long n =
            finish(t, &call, WriteFile(t->pipe, bytes + sent, part, NULL, &call), deadline);
        if (n <= 0) {
            snprintf(why, why_size, "%s",
                     n == TRANSPORT_TIME_UP ? "the agent took no more of the command in time"
                                            : "the connection broke");
            return -1;
        }
        sent += (size_t)n;
    }
    return 0;
}

long transport_read(struct transport* t, char* buffer, size_t size, int64_t deadline)
{
    OVERLAPPED call = {0};
    call.hEvent = t->event;
    ResetEvent(t->event);
    const DWORD room = size > (1u << 30) ? (1u << 30) : (DWORD)size;
    const long n = finish(t, &call, ReadFile(t->pipe, buffer, room, NULL, &call), deadline);
    return n == 0 ? TRANSPORT_CLOSED : n;
}

void transport_close(struct transport* t)
{
    if (t != NULL) {
        CloseHandle(t->pipe);
        CloseHandle(t->event);
        free(t);
    }
}
