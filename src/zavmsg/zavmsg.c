/* libzavmsg's commands: the client text, the message JSON and the fetched
 * list, through jansson; the connection they go over is connection.c. */

#include "connection.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

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
        return bad != NULL ? zavmsg_fail(c, ZAVMSG_INVALID, "the %s is not UTF-8", bad)
                           : zavmsg_fail(c, ZAVMSG_NO_MEMORY, "out of memory");
    }
    char* text = json_dumps(object, JSON_COMPACT | JSON_SORT_KEYS);
    json_decref(object);
    const size_t head = strlen(prefix);
    const size_t tail = text != NULL ? strlen(text) : 0;
    char* command = text != NULL ? malloc(head + tail + 1) : NULL;
    if (command == NULL) {
        free(text);
        return zavmsg_fail(c, ZAVMSG_NO_MEMORY, "out of memory");
    }
    snprintf(command, head + tail + 1, "%s%s", prefix, text);
    free(text);
    const enum zavmsg_status status =
        zavmsg_expect_ok(c, zavmsg_exchange(c, command, head + tail, NULL));
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
        return zavmsg_fail(c, ZAVMSG_INVALID, "a host needs its pid, product and mac");
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
        return zavmsg_fail(c, ZAVMSG_INVALID, "no message");
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
        return zavmsg_fail(c, ZAVMSG_NO_MEMORY, "out of memory");
    }
    snprintf(command, head + tail + 1, "%s%s", prefix, pid != NULL ? pid : "");
    const enum zavmsg_status status = zavmsg_exchange(c, command, head + tail, list);
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
        return zavmsg_fail(c, ZAVMSG_ODD_REPLY, "the agent replied \"%.200s\"", c->reply);
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
                   ? zavmsg_fail(c, ZAVMSG_UNKNOWN_HOST, "no host with pid %.200s", pid ? pid : "")
                   : zavmsg_fail(c, ZAVMSG_ODD_REPLY, "the agent replied \"%.200s\"", c->reply);
    }
    *list = messages_of(root);
    return *list != NULL ? ZAVMSG_OK : zavmsg_fail(c, ZAVMSG_NO_MEMORY, "out of memory");
}
