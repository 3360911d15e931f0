/* libzavmsg's connection to the agent: one command out, its whole reply in,
 * within one deadline. zavmsg.c builds the commands on it. */
#ifndef ZAVMSG_CONNECTION_H
#define ZAVMSG_CONNECTION_H

#include "zavmsg.h"

#include <jansson.h>

struct transport;

struct zavmsg
{
    struct transport* transport; /* NULL: not connected */
    int timeout_ms;
    char* path; /* NULL: this user's agent */
    char* reply;
    size_t length;
    size_t capacity;
    char error[4608];
};

/* Sets the connection's error text and returns status. */
enum zavmsg_status zavmsg_fail(zavmsg* c, enum zavmsg_status status, const char* format, ...)
#if defined(__MINGW32__)
    __attribute__((format(gnu_printf, 3, 4)))
#elif defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;

/* Sends the command and reads until its reply is whole, all within the
 * connection's time-out. With list, a list reply is handed over parsed. */
enum zavmsg_status zavmsg_exchange(zavmsg* c, const char* command, size_t length, json_t** list);

/* ZAVMSG_OK when the command (its status given) got the reply "OK". */
enum zavmsg_status zavmsg_expect_ok(zavmsg* c, enum zavmsg_status status);

#endif
