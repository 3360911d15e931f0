/* libzavmsg's connection on Linux: the agent's Unix stream socket. */
#include "transport.h"

#include "platform/zavplatform.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

struct transport
{
    int fd;
};

int64_t transport_now_ms(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

static const char* error_text(int error, char* buffer, size_t size)
{
    if (strerror_r(error, buffer, size) != 0) {
        snprintf(buffer, size, "error %d", error);
    }
    return buffer;
}

/* Waits until fd is ready for events or the deadline has passed: 1, or 0. */
static int wait_for(int fd, short events, int64_t deadline)
{
    for (;;) {
        const int64_t left = deadline - transport_now_ms();
        struct pollfd ready = {fd, events, 0};
        const int polled =
            left > 0 ? poll(&ready, 1, left > 0x7fffffff ? 0x7fffffff : (int)left) : 0;
        if (polled < 0 && errno == EINTR) {
            continue;
        }
        return polled > 0;
    }
}

struct transport* transport_open(const char* path, int64_t deadline, char* why, size_t why_size)
{
    char text[256];
    struct sockaddr_un address;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (strlen(path) >= sizeof address.sun_path) {
        snprintf(why, why_size, "socket path too long: %s", path);
        return NULL;
    }
    memcpy(address.sun_path, path, strlen(path));
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        snprintf(why, why_size, "%s", error_text(errno, text, sizeof text));
        return NULL;
    }
    /* connect() waits while the agent's backlog is full: at most until the
     * deadline. Everything after it waits in poll(). */
    const int64_t left = deadline - transport_now_ms();
    const struct timeval limit = {left > 0 ? (time_t)(left / 1000) : 0,
                                  left > 0 ? (suseconds_t)(left % 1000) * 1000 : 1000};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    int error = connect(fd, (const struct sockaddr*)&address, sizeof address) == 0 ? 0 : errno;
    if (error == EAGAIN || error == EINPROGRESS) {
        error = ETIMEDOUT;
    }
    if (error == 0 && fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) != 0) {
        error = errno;
    }
    if (error != 0) {
        close(fd);
        const char* reason = error == ENOENT         ? "no socket there"
                             : error == ECONNREFUSED ? "connection refused: a socket left by an "
                                                       "agent that died?"
                             : error == EACCES       ? "permission denied"
                             : error == ETIMEDOUT    ? "timed out"
                                                     : error_text(error, text, sizeof text);
        snprintf(why, why_size, "no agent is listening on %s (%s)", path, reason);
        return NULL;
    }
    if (!zav_pipe_server_is_user(fd)) {
        close(fd);
        snprintf(why, why_size, "the socket %s is not served by this user's agent", path);
        return NULL;
    }
    struct transport* t = malloc(sizeof *t);
    if (t == NULL) {
        close(fd);
        snprintf(why, why_size, "out of memory");
        return NULL;
    }
    t->fd = fd;
    return t;
}

int transport_send(struct transport* t, const char* bytes, size_t length, int64_t deadline,
                   char* why, size_t why_size)
{
    char text[256];
    for (size_t sent = 0; sent < length;) {
        const ssize_t n = send(t->fd, bytes + sent, length - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += (size_t)n;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN) {
            if (!wait_for(t->fd, POLLOUT, deadline)) {
                snprintf(why, why_size, "the agent took no more of the command in time");
                return -1;
            }
        } else {
            snprintf(why, why_size, "%s", error_text(errno, text, sizeof text));
            return -1;
        }
    }
    return 0;
}

long transport_read(struct transport* t, char* buffer, size_t size, int64_t deadline)
{
    for (;;) {
        if (!wait_for(t->fd, POLLIN, deadline)) {
            return TRANSPORT_TIME_UP;
        }
        const ssize_t n = read(t->fd, buffer, size);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        return n > 0 ? (long)n : n == 0 ? TRANSPORT_CLOSED : TRANSPORT_BROKEN;
    }
}

void transport_close(struct transport* t)
{
    if (t != NULL) {
        close(t->fd);
        free(t);
    }
}
