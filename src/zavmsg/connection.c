/* libzavmsg's connection: where the agent is, one command and its whole
 * reply, every call within one deadline. The bytes go through transport.h. */

#include "connection.h"

#include "platform/zavplatform.h"
#include "transport.h"

#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define DEFAULT_TIMEOUT_MS 2000
/* Room made for each read. */
#define READ_SIZE ((size_t)64 * 1024)
/* The longest reply taken: a full queue's list fits. */
#define MAX_REPLY ((size_t)512 << 20)

enum zavmsg_status zavmsg_fail(zavmsg* c, enum zavmsg_status status, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    /* The analyzer loses va_start in the fortified vsnprintf. */
    /* NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized) */
    vsnprintf(c->error, sizeof c->error, format, args);
    va_end(args);
    return status;
}

static void disconnect(zavmsg* c)
{
    transport_close(c->transport);
    c->transport = NULL;
}

static enum zavmsg_status open_pipe(zavmsg* c, int64_t deadline)
{
    char found[4096], why[1024];
    const char* path = c->path;
    if (path == NULL) {
        if (zav_pipe_path(found, sizeof found, why, sizeof why) != 0) {
            return zavmsg_fail(c, ZAVMSG_NO_AGENT, "no agent: %s", why);
        }
        path = found;
    }
    c->transport = transport_open(path, deadline, why, sizeof why);
    return c->transport != NULL ? ZAVMSG_OK : zavmsg_fail(c, ZAVMSG_NO_AGENT, "%s", why);
}

enum zavmsg_status zavmsg_connect(zavmsg** connection, const char* path, int timeout_ms)
{
    zavmsg* c = calloc(1, sizeof *c);
    *connection = c;
    if (c == NULL || (path != NULL && (c->path = strdup(path)) == NULL)) {
        free(c);
        *connection = NULL;
        return ZAVMSG_NO_MEMORY;
    }
    c->timeout_ms = timeout_ms > 0 ? timeout_ms : DEFAULT_TIMEOUT_MS;
    return open_pipe(c, transport_now_ms() + c->timeout_ms);
}

void zavmsg_close(zavmsg* c)
{
    if (c != NULL) {
        disconnect(c);
        free(c->path);
        free(c->reply);
        free(c);
    }
}

const char* zavmsg_error(const zavmsg* c)
{
    return c->error;
}

const char* zavmsg_reply(const zavmsg* c, size_t* length)
{
    if (length != NULL) {
        *length = c->length;
    }
    return c->reply != NULL ? c->reply : "";
}

/* ---- When a reply is whole ----
 * Replies carry no length: every reply but the message list of
 * "GetMessage:" is whole once anything has come, and that list once it is
 * JSON. Each byte is looked at once, and the list parsed once, when its
 * outer brackets close: a reply in many parts costs time in proportion to
 * its length. */

enum reply_state
{
    EMPTY,
    LIST,   /* a list whose outer brackets are still open */
    WHOLE,  /* complete; a list may be followed by JSON's blanks only */
    BROKEN, /* a list that closed but is not JSON, or text after it: never whole */
};

struct tracker
{
    enum reply_state state;
    int is_list;
    size_t scanned; /* bytes looked at */
    long depth;     /* brackets and braces open outside strings */
    int in_string;
    int escaped;
    json_t* list; /* the parsed list, once whole */
};

static void follow(struct tracker* t, const char* text, size_t length)
{
    if (t->state == EMPTY && length > 0) {
        t->is_list = text[0] == '[';
        t->state = t->is_list ? LIST : WHOLE;
    }
    for (; t->state == LIST && t->scanned < length; ++t->scanned) {
        const char ch = text[t->scanned];
        if (t->in_string) {
            if (t->escaped) {
                t->escaped = 0;
            } else if (ch == '\\') {
                t->escaped = 1;
            } else if (ch == '"') {
                t->in_string = 0;
            }
        } else if (ch == '"') {
            t->in_string = 1;
        } else if (ch == '[' || ch == '{') {
            ++t->depth;
        } else if ((ch == ']' || ch == '}') && --t->depth == 0) {
            t->list = json_loadb(text, t->scanned + 1, JSON_ALLOW_NUL, NULL);
            t->state = t->list != NULL ? WHOLE : BROKEN;
        }
    }
    for (; t->is_list && t->state == WHOLE && t->scanned < length; ++t->scanned) {
        const char ch = text[t->scanned];
        if (ch != ' ' && ch != '\t' && ch != '\n' && ch != '\r') {
            t->state = BROKEN;
        }
    }
}

/* Where the next read goes, with room for a read and a NUL: *room says how
 * many bytes the read may take. NULL when the reply has reached its cap,
 * which bounds the buffer too: it never grows past the cap and a read. */
static char* make_room(zavmsg* c, size_t* room)
{
    if (c->length >= MAX_REPLY) {
        return NULL;
    }
    const size_t wanted = MAX_REPLY - c->length < READ_SIZE ? MAX_REPLY - c->length : READ_SIZE;
    if (c->reply == NULL || c->capacity - c->length <= wanted) {
        size_t grown = c->capacity < 2 * READ_SIZE ? 2 * READ_SIZE : 2 * c->capacity;
        if (grown > MAX_REPLY + 1) {
            grown = MAX_REPLY + 1;
        }
        char* bigger = realloc(c->reply, grown);
        if (bigger == NULL) {
            return NULL;
        }
        c->reply = bigger;
        c->capacity = grown;
    }
    *room = wanted;
    return c->reply + c->length;
}

enum zavmsg_status zavmsg_exchange(zavmsg* c, const char* command, size_t length, json_t** list)
{
    char why_not[1024];
    /* One deadline for the whole call: connecting, sending, every part of
     * the reply. A reply that trickles in does not stretch it. */
    const int64_t deadline = transport_now_ms() + c->timeout_ms;
    c->length = 0;
    if (c->reply != NULL) {
        c->reply[0] = '\0';
    }
    c->error[0] = '\0';
    if (c->transport == NULL && open_pipe(c, deadline) != ZAVMSG_OK) {
        return ZAVMSG_NO_AGENT;
    }
    if (transport_send(c->transport, command, length, deadline, why_not, sizeof why_not) != 0) {
        disconnect(c);
        return zavmsg_fail(c, ZAVMSG_NO_REPLY, "cannot send the command: %s", why_not);
    }

    struct tracker t = {EMPTY, 0, 0, 0, 0, 0, NULL};
    const char* why = NULL;
    while (t.state != WHOLE && t.state != BROKEN) {
        size_t size = 0;
        char* room = make_room(c, &size);
        if (room == NULL) {
            why = c->length >= MAX_REPLY ? "it is too long" : "out of memory";
            break;
        }
        const long n = transport_read(c->transport, room, size, deadline);
        if (n <= 0) {
            why = n == TRANSPORT_TIME_UP  ? "time is up"
                  : n == TRANSPORT_CLOSED ? "the agent closed the connection"
                                          : "the connection broke";
            break;
        }
        room[n] = '\0';
        c->length += (size_t)n;
        follow(&t, c->reply, c->length);
    }

    if (t.state == WHOLE) {
        if (list != NULL) {
            *list = t.list;
        } else {
            json_decref(t.list);
        }
        if (c->length >= 6 && memcmp(c->reply, "ERROR:", 6) == 0) {
            return zavmsg_fail(c, ZAVMSG_REFUSED, "the agent refused the command: %s", c->reply);
        }
        return ZAVMSG_OK;
    }
    json_decref(t.list); /* a list followed by more than blanks */
    disconnect(c);       /* a late rest would be taken for the next reply */
    if (t.state == BROKEN) {
        return zavmsg_fail(c, ZAVMSG_NO_REPLY, "the agent's reply is not a JSON list (%zu bytes)",
                           c->length);
    }
    if (c->length > 0) {
        return zavmsg_fail(c, ZAVMSG_NO_REPLY,
                           "the agent's reply stopped short after %zu bytes (%s)", c->length, why);
    }
    return strcmp(why, "time is up") == 0
               ? zavmsg_fail(c, ZAVMSG_NO_REPLY, "the agent did not reply within %d ms",
                             c->timeout_ms)
               : zavmsg_fail(c, ZAVMSG_NO_REPLY, "%s without a reply", why);
}

enum zavmsg_status zavmsg_command(zavmsg* c, const char* command, size_t length)
{
    return zavmsg_exchange(c, command, length, NULL);
}

enum zavmsg_status zavmsg_expect_ok(zavmsg* c, enum zavmsg_status status)
{
    if (status != ZAVMSG_OK || (c->length == 2 && memcmp(c->reply, "OK", 2) == 0)) {
        return status;
    }
    return zavmsg_fail(c, ZAVMSG_ODD_REPLY, "the agent replied \"%.200s\"", c->reply);
}

enum zavmsg_status zavmsg_hello(zavmsg* c)
{
    return zavmsg_expect_ok(c, zavmsg_exchange(c, "Hello", 5, NULL));
}
