/* libzavmsg over the agent's Unix stream socket; JSON through jansson. */

#include "zavmsg.h"

#include "platform/zavplatform.h"

#include <errno.h>
#include <jansson.h>
#include <poll.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#define DEFAULT_TIMEOUT_MS 2000
/* Room made for each read. */
#define READ_SIZE ((size_t)64 * 1024)
/* The longest reply taken: a full queue's list fits. */
#define MAX_REPLY ((size_t)512 << 20)

struct zavmsg
{
    int fd; /* -1: not connected */
    int timeout_ms;
    char* path; /* NULL: this user's agent */
    char* reply;
    size_t length;
    size_t capacity;
    char error[4608];
};

static enum zavmsg_status fail(zavmsg* c, enum zavmsg_status status, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    /* The analyzer loses va_start in the fortified vsnprintf. */
    /* NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized) */
    vsnprintf(c->error, sizeof c->error, format, args);
    va_end(args);
    return status;
}

static const char* error_text(int error, char* buffer, size_t size)
{
    if (strerror_r(error, buffer, size) != 0) {
        snprintf(buffer, size, "error %d", error);
    }
    return buffer;
}

static int64_t now_ms(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

static void disconnect(zavmsg* c)
{
    if (c->fd >= 0) {
        close(c->fd);
        c->fd = -1;
    }
}

static enum zavmsg_status open_socket(zavmsg* c)
{
    char found[4096], why[1024], text[256];
    const char* path = c->path;
    if (path == NULL) {
        if (zav_pipe_path(found, sizeof found, why, sizeof why) != 0) {
            return fail(c, ZAVMSG_NO_AGENT, "no agent: %s", why);
        }
        path = found;
    }
    struct sockaddr_un address;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (strlen(path) >= sizeof address.sun_path) {
        return fail(c, ZAVMSG_NO_AGENT, "socket path too long: %s", path);
    }
    memcpy(address.sun_path, path, strlen(path));
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return fail(c, ZAVMSG_NO_AGENT, "%s", error_text(errno, text, sizeof text));
    }
    /* connect() and send() wait at most this long (an agent whose backlog is full). */
    const struct timeval limit = {c->timeout_ms / 1000, (suseconds_t)(c->timeout_ms % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    if (connect(fd, (const struct sockaddr*)&address, sizeof address) != 0) {
        const int error = errno;
        close(fd);
        const char* reason = error == ENOENT         ? "no socket there"
                             : error == ECONNREFUSED ? "connection refused: a socket left by an "
                                                       "agent that died?"
                             : error == EACCES       ? "permission denied"
                             : error == EAGAIN || error == EINPROGRESS
                                 ? "timed out"
                                 : error_text(error, text, sizeof text);
        return fail(c, ZAVMSG_NO_AGENT, "no agent is listening on %s (%s)", path, reason);
    }
    c->fd = fd;
    return ZAVMSG_OK;
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
    c->fd = -1;
    c->timeout_ms = timeout_ms > 0 ? timeout_ms : DEFAULT_TIMEOUT_MS;
    return open_socket(c);
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

/* Where the next read goes, with room for READ_SIZE bytes and a NUL; NULL
 * when the reply would be too long. */
static char* make_room(zavmsg* c)
{
    if (c->reply != NULL && c->capacity - c->length > READ_SIZE) {
        return c->reply + c->length;
    }
    if (c->length >= MAX_REPLY) {
        return NULL;
    }
    const size_t grown = c->capacity < 2 * READ_SIZE ? 2 * READ_SIZE : 2 * c->capacity;
    char* bigger = realloc(c->reply, grown);
    if (bigger == NULL) {
        return NULL;
    }
    c->reply = bigger;
    c->capacity = grown;
    return c->reply + c->length;
}

/* Sends the command and reads until its reply is whole or time is up. With
 * list, a list reply is handed over parsed. */
static enum zavmsg_status exchange(zavmsg* c, const char* command, size_t length, json_t** list)
{
    char text[256];
    c->length = 0;
    if (c->reply != NULL) {
        c->reply[0] = '\0';
    }
    c->error[0] = '\0';
    if (c->fd < 0 && open_socket(c) != ZAVMSG_OK) {
        return ZAVMSG_NO_AGENT;
    }
    for (size_t sent = 0; sent < length;) {
        const ssize_t n = send(c->fd, command + sent, length - sent, MSG_NOSIGNAL);
        if (n < 0 && errno != EINTR) {
            const int error = errno;
            disconnect(c);
            return fail(c, ZAVMSG_NO_REPLY, "cannot send the command: %s",
                        error_text(error, text, sizeof text));
        }
        sent += n > 0 ? (size_t)n : 0;
    }

    /* The reply comes in parts (a long list in many): read as long as parts
     * keep coming, each within the time-out. */
    struct tracker t = {EMPTY, 0, 0, 0, 0, 0, NULL};
    int64_t since = now_ms();
    const char* why = NULL;
    while (t.state != WHOLE && t.state != BROKEN) {
        const int64_t left = c->timeout_ms - (now_ms() - since);
        struct pollfd ready = {c->fd, POLLIN, 0};
        const int polled = left > 0 ? poll(&ready, 1, (int)left) : 0;
        if (polled < 0 && errno == EINTR) {
            continue;
        }
        if (polled <= 0) {
            why = "time is up";
            break;
        }
        char* room = make_room(c);
        if (room == NULL) {
            why = "it is too long";
            break;
        }
        const ssize_t n = read(c->fd, room, READ_SIZE);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (n <= 0) {
            why = n == 0 ? "the agent closed the connection" : "the connection broke";
            break;
        }
        room[n] = '\0';
        c->length += (size_t)n;
        follow(&t, c->reply, c->length);
        since = now_ms();
    }

    if (t.state == WHOLE) {
        if (list != NULL) {
            *list = t.list;
        } else {
            json_decref(t.list);
        }
        if (c->length >= 6 && memcmp(c->reply, "ERROR:", 6) == 0) {
            return fail(c, ZAVMSG_REFUSED, "the agent refused the command: %s", c->reply);
        }
        return ZAVMSG_OK;
    }
    json_decref(t.list); /* a list followed by more than blanks */
    disconnect(c);       /* a late rest would be taken for the next reply */
    if (t.state == BROKEN) {
        return fail(c, ZAVMSG_NO_REPLY, "the agent's reply is not a JSON list (%zu bytes)",
                    c->length);
    }
    if (c->length > 0) {
        return fail(c, ZAVMSG_NO_REPLY, "the agent's reply stopped short after %zu bytes (%s)",
                    c->length, why);
    }
    return strcmp(why, "time is up") == 0
               ? fail(c, ZAVMSG_NO_REPLY, "the agent did not reply within %d ms", c->timeout_ms)
               : fail(c, ZAVMSG_NO_REPLY, "%s without a reply", why);
}

enum zavmsg_status zavmsg_command(zavmsg* c, const char* command, size_t length)
{
    return exchange(c, command, length, NULL);
}

/* ZAVMSG_OK when the command got the reply "OK". */
static enum zavmsg_status expect_ok(zavmsg* c, enum zavmsg_status status)
{
    if (status != ZAVMSG_OK || (c->length == 2 && memcmp(c->reply, "OK", 2) == 0)) {
        return status;
    }
    return fail(c, ZAVMSG_ODD_REPLY, "the agent replied \"%.200s\"", c->reply);
}

enum zavmsg_status zavmsg_hello(zavmsg* c)
{
    return expect_ok(c, exchange(c, "Hello", 5, NULL));
}

/* ---- Commands that carry JSON ---- */

/* Sets object's key to the text, when there is one. Fails when the text is
 * not UTF-8 (or memory ran out); *bad then names the key. */
static int put(json_t* object, const char* key, const char* value, const char** bad)
{
    if (value == NULL) {
        return 0;
    }
    if (json_object_set_new(object, key, json_string(value)) != 0) {
        *bad = *bad != NULL ? *bad : key;
        return -1;
    }
    return 0;
}

/* Sends prefix and the object as compact JSON, its members in key order
 * (as the agent writes them itself); takes the object. */
static enum zavmsg_status send_json(zavmsg* c, const char* prefix, json_t* object, const char* bad)
{
    if (object == NULL || bad != NULL) {
        json_decref(object);
        return bad != NULL ? fail(c, ZAVMSG_INVALID, "the %s is not UTF-8", bad)
                           : fail(c, ZAVMSG_NO_MEMORY, "out of memory");
    }
    char* text = json_dumps(object, JSON_COMPACT | JSON_SORT_KEYS);
    json_decref(object);
    const size_t head = strlen(prefix);
    const size_t tail = text != NULL ? strlen(text) : 0;
    char* command = text != NULL ? malloc(head + tail + 1) : NULL;
    if (command == NULL) {
        free(text);
        return fail(c, ZAVMSG_NO_MEMORY, "out of memory");
    }
    snprintf(command, head + tail + 1, "%s%s", prefix, text);
    free(text);
    const enum zavmsg_status status = expect_ok(c, exchange(c, command, head + tail, NULL));
    free(command);
    return status;
}

struct property
{
    const char* key;
    size_t key_length;
    const char* value;
    size_t value_length;
    size_t order;
};

static int by_key(const void* a, const void* b)
{
    const struct property* p = a;
    const struct property* q = b;
    const size_t shorter = p->key_length < q->key_length ? p->key_length : q->key_length;
    const int compared = memcmp(p->key, q->key, shorter);
    if (compared != 0 || p->key_length != q->key_length) {
        return compared != 0 ? compared : p->key_length < q->key_length ? -1 : 1;
    }
    return p->order < q->order ? -1 : 1;
}

/* The properties as the agent keeps them: "key=value" pieces joined by '&',
 * sorted by key, the last of equal keys kept; a piece without '=' dropped,
 * and of a value only what comes before a further '='. NULL: no memory. */
static char* sorted_properties(const char* text)
{
    const size_t length = strlen(text);
    struct property* pieces = calloc(length / 2 + 1, sizeof *pieces);
    char* joined = malloc(length + 1);
    if (pieces == NULL || joined == NULL) {
        free(pieces);
        free(joined);
        return NULL;
    }
    size_t count = 0;
    for (const char* piece = text; piece <= text + length;) {
        const size_t size = strcspn(piece, "&");
        const char* eq = memchr(piece, '=', size);
        if (eq != NULL) {
            const char* value = eq + 1;
            const char* more = memchr(value, '=', size - (size_t)(value - piece));
            const char* end = more != NULL ? more : piece + size;
            pieces[count] =
                (struct property){piece, (size_t)(eq - piece), value, (size_t)(end - value), count};
            ++count;
        }
        piece += size + 1;
    }
    qsort(pieces, count, sizeof *pieces, by_key);
    char* out = joined;
    for (size_t i = 0; i < count; ++i) {
        const struct property* p = &pieces[i];
        if (i + 1 < count && p->key_length == p[1].key_length &&
            memcmp(p->key, p[1].key, p->key_length) == 0) {
            continue; /* a later one of the same key follows */
        }
        if (out != joined) {
            *out++ = '&';
        }
        memcpy(out, p->key, p->key_length);
        out += p->key_length;
        *out++ = '=';
        memcpy(out, p->value, p->value_length);
        out += p->value_length;
    }
    *out = '\0';
    free(pieces);
    return joined;
}

static int empty(const char* text)
{
    return text == NULL || *text == '\0';
}

enum zavmsg_status zavmsg_register(zavmsg* c, const struct zavmsg_host* host)
{
    c->error[0] = '\0';
    if (host == NULL || empty(host->pid) || empty(host->product) || empty(host->mac)) {
        return fail(c, ZAVMSG_INVALID, "a host needs its pid, product and mac");
    }
    char* properties = sorted_properties(host->properties != NULL ? host->properties : "");
    json_t* client = properties != NULL ? json_object() : NULL;
    const char* bad = NULL;
    if (client != NULL) {
        put(client, "handle", host->handle != NULL ? host->handle : "auto", &bad);
        put(client, "mac", host->mac, &bad);
        put(client, "pid", host->pid, &bad);
        put(client, "product", host->product, &bad);
        put(client, "productVersion", host->product_version ? host->product_version : "", &bad);
        put(client, "properties", properties, &bad);
        put(client, "purchase", host->purchase != NULL ? host->purchase : "", &bad);
        put(client, "uid", host->uid != NULL ? host->uid : "", &bad);
        put(client, "ukey", "", &bad);
    }
    free(properties);
    return send_json(c, "REGISTER:", client, bad);
}

enum zavmsg_status zavmsg_popup(zavmsg* c, const struct zavmsg_message* m)
{
    c->error[0] = '\0';
    if (m == NULL || (m->setting_count > 0 && m->settings == NULL) ||
        (m->action_count > 0 && m->actions == NULL)) {
        return fail(c, ZAVMSG_INVALID, "no message");
    }
    json_t* message = json_object();
    json_t* settings = json_array();
    json_t* actions = json_array();
    const char* bad = NULL;
    for (size_t i = 0; i < m->setting_count; ++i) {
        json_t* setting = json_object();
        put(setting, "key", m->settings[i].key != NULL ? m->settings[i].key : "", &bad);
        put(setting, "value", m->settings[i].value != NULL ? m->settings[i].value : "", &bad);
        json_array_append_new(settings, setting);
    }
    for (size_t i = 0; i < m->action_count; ++i) {
        json_t* action = json_object();
        put(action, "id", m->actions[i].id != NULL ? m->actions[i].id : "", &bad);
        put(action, "action", m->actions[i].label != NULL ? m->actions[i].label : "", &bad);
        put(action, "url", m->actions[i].url != NULL ? m->actions[i].url : "", &bad);
        json_array_append_new(actions, action);
    }
    /* The agent reads the form from "messageFrom". */
    put(message, "messageFrom", m->form, &bad);
    put(message, "title", m->title, &bad);
    put(message, "summary", m->summary, &bad);
    put(message, "url", m->url, &bad);
    put(message, "authorName", m->author, &bad);
    if (m->setting_count > 0) {
        json_object_set(message, "settings", settings);
    }
    if (m->action_count > 0) {
        json_object_set(message, "actions", actions);
    }
    json_decref(settings);
    json_decref(actions);
    return send_json(c, "PopupMessage:", message, bad);
}

/* Sends prefix and pid. */
static enum zavmsg_status ask_about(zavmsg* c, const char* prefix, const char* pid, json_t** list)
{
    const size_t head = strlen(prefix);
    const size_t tail = pid != NULL ? strlen(pid) : 0;
    char* command = malloc(head + tail + 1);
    if (command == NULL) {
        return fail(c, ZAVMSG_NO_MEMORY, "out of memory");
    }
    snprintf(command, head + tail + 1, "%s%s", prefix, pid != NULL ? pid : "");
    const enum zavmsg_status status = exchange(c, command, head + tail, list);
    free(command);
    return status;
}

enum zavmsg_status zavmsg_count(zavmsg* c, const char* pid, unsigned long* count)
{
    *count = 0;
    const enum zavmsg_status status = ask_about(c, "MessageCount:", pid, NULL);
    if (status != ZAVMSG_OK) {
        return status;
    }
    char* end = NULL;
    errno = 0;
    const unsigned long value = strtoul(c->reply, &end, 10);
    if (c->reply[0] < '0' || c->reply[0] > '9' || end != c->reply + c->length || errno != 0) {
        return fail(c, ZAVMSG_ODD_REPLY, "the agent replied \"%.200s\"", c->reply);
    }
    *count = value;
    return ZAVMSG_OK;
}

/* ---- Fetched messages ---- */

struct stored_list
{
    struct zavmsg_list list; /* first: the caller's pointer is the storage's */
    json_t* root;
    struct zavmsg_message* messages;
};

/* A member's text, "" when it is missing or not a text. */
static const char* text_of(const json_t* object, const char* key)
{
    const char* text = json_string_value(json_object_get(object, key));
    return text != NULL ? text : "";
}

void zavmsg_list_free(struct zavmsg_list* list)
{
    struct stored_list* stored = (struct stored_list*)list;
    if (stored == NULL) {
        return;
    }
    for (size_t i = 0; stored->messages != NULL && i < stored->list.count; ++i) {
        free((void*)stored->messages[i].settings);
        free((void*)stored->messages[i].actions);
    }
    free(stored->messages);
    json_decref(stored->root);
    free(stored);
}

/* Takes root, the agent's list, into a list of messages. */
static struct zavmsg_list* messages_of(json_t* root)
{
    struct stored_list* stored = calloc(1, sizeof *stored);
    const size_t count = json_array_size(root);
    if (stored == NULL ||
        (stored->messages = calloc(count + 1, sizeof(struct zavmsg_message))) == NULL) {
        free(stored);
        json_decref(root);
        return NULL;
    }
    stored->root = root;
    stored->list.count = count;
    stored->list.messages = stored->messages;
    for (size_t i = 0; i < count; ++i) {
        const json_t* item = json_array_get(root, i);
        struct zavmsg_message* m = &stored->messages[i];
        m->uuid = text_of(item, "uuid");
        m->form = text_of(item, "messageForm");
        m->title = text_of(item, "title");
        m->summary = text_of(item, "summary");
        m->url = text_of(item, "url");
        m->author = text_of(item, "authorName");
        const json_t* settings = json_object_get(item, "settings");
        const json_t* actions = json_object_get(item, "actions");
        struct zavmsg_setting* s = calloc(json_array_size(settings) + 1, sizeof *s);
        struct zavmsg_action* a = calloc(json_array_size(actions) + 1, sizeof *a);
        m->settings = s;
        m->actions = a;
        if (s == NULL || a == NULL) {
            zavmsg_list_free(&stored->list);
            return NULL;
        }
        m->setting_count = json_array_size(settings);
        m->action_count = json_array_size(actions);
        for (size_t j = 0; j < m->setting_count; ++j) {
            const json_t* setting = json_array_get(settings, j);
            s[j] = (struct zavmsg_setting){text_of(setting, "key"), text_of(setting, "value")};
        }
        for (size_t j = 0; j < m->action_count; ++j) {
            const json_t* action = json_array_get(actions, j);
            a[j] = (struct zavmsg_action){text_of(action, "id"), text_of(action, "action"),
                                          text_of(action, "url")};
        }
    }
    return &stored->list;
}

enum zavmsg_status zavmsg_get(zavmsg* c, const char* pid, struct zavmsg_list** list)
{
    *list = NULL;
    json_t* root = NULL;
    const enum zavmsg_status status = ask_about(c, "GetMessage:", pid, &root);
    if (status != ZAVMSG_OK) {
        return status;
    }
    if (root == NULL) {
        return strcmp(c->reply, "0") == 0
                   ? fail(c, ZAVMSG_UNKNOWN_HOST, "no host with pid %.200s", pid ? pid : "")
                   : fail(c, ZAVMSG_ODD_REPLY, "the agent replied \"%.200s\"", c->reply);
    }
    *list = messages_of(root);
    return *list != NULL ? ZAVMSG_OK : fail(c, ZAVMSG_NO_MEMORY, "out of memory");
}
