/* The bytes of one connection to the agent, on this system's pipe: a Unix
 * stream socket (transport_posix.c) or a named pipe (transport_win.c). Every
 * call waits at most until its deadline, a time of transport_now_ms(). */
#ifndef ZAVMSG_TRANSPORT_H
#define ZAVMSG_TRANSPORT_H

#include <stddef.h>
#include <stdint.h>

struct transport;

/* A monotonic clock in milliseconds. */
int64_t transport_now_ms(void);

/* Connects to the agent's pipe at path and checks that its server runs as
 * this user. NULL when that fails, with the reason in why. */
struct transport* transport_open(const char* path, int64_t deadline, char* why, size_t why_size);

/* Sends all length bytes: 0, or -1 with the reason in why. */
int transport_send(struct transport* t, const char* bytes, size_t length, int64_t deadline,
                   char* why, size_t why_size);

enum
{
    TRANSPORT_CLOSED = 0,   /* the agent closed the connection */
    TRANSPORT_BROKEN = -1,  /* the connection broke */
    TRANSPORT_TIME_UP = -2, /* nothing came before the deadline */
};

/* Reads what has come, up to size bytes, waiting for something until the
 * deadline: the number of bytes, or one of the values above. */
long transport_read(struct transport* t, char* buffer, size_t size, int64_t deadline);

/* Closes the connection; NULL is allowed. */
void transport_close(struct transport* t);

#endif
