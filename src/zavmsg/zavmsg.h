/* libzavmsg: a host product's side of the zav-msg-agent pipe, in C.
 *
 * A host connects to the agent of its user, registers itself, hands over
 * messages to show as popups, and counts and fetches the messages queued
 * for it. Every call returns within the connection's time-out: connecting,
 * sending and the whole reply together (a reply that trickles in is cut off
 * there, not waited for part by part).
 *
 * Texts are UTF-8 and NUL-terminated; a text that is not UTF-8 is refused
 * (ZAVMSG_INVALID) before anything is sent. A connection is used by one
 * thread at a time; separate connections are independent.
 *
 *     zavmsg* agent = NULL;
 *     if (zavmsg_connect(&agent, NULL, 0) == ZAVMSG_OK) {
 *         struct zavmsg_message m = {0};
 *         m.title = "Update";
 *         m.summary = "Version 2 is out";
 *         if (zavmsg_popup(agent, &m) != ZAVMSG_OK)
 *             fprintf(stderr, "%s\n", zavmsg_error(agent));
 *     }
 *     zavmsg_close(agent);
 *
 * Build with `pkg-config --cflags --libs zavmsg`. */
#ifndef ZAVMSG_H
#define ZAVMSG_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32) && defined(ZAVMSG_BUILDING)
#define ZAVMSG_API __declspec(dllexport)
#elif defined(_WIN32) && !defined(ZAVMSG_STATIC)
#define ZAVMSG_API __declspec(dllimport)
#elif defined(__GNUC__)
#define ZAVMSG_API __attribute__((visibility("default")))
#else
#define ZAVMSG_API
#endif

/* What a call came to. The first five are zav-msgctl's exit statuses. */
enum zavmsg_status
{
    ZAVMSG_OK = 0,           /* the agent replied as the command expects */
    ZAVMSG_NO_AGENT = 1,     /* nobody listens on the pipe */
    ZAVMSG_INVALID = 2,      /* a bad argument: nothing was sent */
    ZAVMSG_NO_REPLY = 3,     /* no whole reply in time, or the connection broke */
    ZAVMSG_REFUSED = 4,      /* the agent answered "ERROR: ..." */
    ZAVMSG_UNKNOWN_HOST = 5, /* zavmsg_get(): no host with that pid is registered */
    ZAVMSG_ODD_REPLY = 6,    /* a reply that the command does not expect */
    ZAVMSG_NO_MEMORY = 7
};

/* One connection to the agent. */
typedef struct zavmsg zavmsg;

/* Connects to the pipe at path, or to this user's agent when path is NULL
 * (the place where the agent listens: $XDG_RUNTIME_DIR/zav_msg_ipc_pipe on
 * Linux, or a private directory of the user's in the temporary directory;
 * \\.\pipe\zav_msg_ipc_pipe-<the user's SID> on Windows). Only a pipe whose
 * server runs as this user is taken. timeout_ms bounds this call and every
 * later one, each as a whole; 0 or less means 2000.
 *
 * *connection is set whether or not the connection was made (NULL only when
 * the result is ZAVMSG_NO_MEMORY): zavmsg_error() then says why not, and
 * each command tries to connect again first. A reply that did not come
 * whole ends the connection, since a late rest would be taken for the next
 * reply; the next command connects again. */
ZAVMSG_API enum zavmsg_status zavmsg_connect(zavmsg** connection, const char* path, int timeout_ms);

/* Ends the connection and frees it; NULL is allowed. */
ZAVMSG_API void zavmsg_close(zavmsg* connection);

/* Why the last call failed, in words ("no agent is listening on ..."); ""
 * after a success. Valid until the next call on the connection. */
ZAVMSG_API const char* zavmsg_error(const zavmsg* connection);

/* The last reply as it came (NUL-terminated; *length, if given, counts its
 * bytes): also what had come of a reply that stopped short. Valid until the
 * next call on the connection. */
ZAVMSG_API const char* zavmsg_reply(const zavmsg* connection, size_t* length);

/* Sends one command as it stands and waits for its whole reply (the reply
 * of "GetMessage:" is whole once it is a JSON array; any other, once
 * anything of it has come). ZAVMSG_OK for any reply but "ERROR: ...". */
ZAVMSG_API enum zavmsg_status zavmsg_command(zavmsg* connection, const char* command,
                                             size_t length);

/* "Hello": ZAVMSG_OK when the agent answers "OK". */
ZAVMSG_API enum zavmsg_status zavmsg_hello(zavmsg* connection);

/* A host product's instance, as the agent's command line describes it. */
struct zavmsg_host
{
    const char* pid;     /* its process id in decimal (required) */
    const char* product; /* product code (required) */
    const char* mac;     /* the machine's MAC address as text (required) */
    const char* uid;     /* user id */
    const char* product_version;
    const char* purchase;   /* "Y", "N", or NULL: not stated */
    const char* handle;     /* "auto" (NULL: the default) or "customize" */
    const char* properties; /* "key=value&key2=value2"; pieces without '=' are dropped */
};

/* "REGISTER:": registers the host (replacing one with the same pid). */
ZAVMSG_API enum zavmsg_status zavmsg_register(zavmsg* connection, const struct zavmsg_host* host);

struct zavmsg_setting
{
    const char* key; /* "width", "height" (pixels) or "position" */
    const char* value;
};

struct zavmsg_action
{
    const char* id;    /* reported to the push service when clicked */
    const char* label; /* the button's text */
    const char* url;   /* opened in the browser when clicked */
};

/* A message. For zavmsg_popup() a NULL text is left out (the agent takes it
 * as empty); zavmsg_get() fills every text, "" where the agent sent none. */
struct zavmsg_message
{
    const char* uuid; /* the push service's id (zavmsg_get() only) */
    const char* form; /* "Url": the page at url is the body; else the summary */
    const char* title;
    const char* summary; /* plain text or HTML */
    const char* url;
    const char* author;
    const struct zavmsg_setting* settings;
    size_t setting_count;
    const struct zavmsg_action* actions;
    size_t action_count;
};

/* "PopupMessage:": the agent shows the message as a popup. */
ZAVMSG_API enum zavmsg_status zavmsg_popup(zavmsg* connection,
                                           const struct zavmsg_message* message);

/* "MessageCount:": the number of messages queued for the host with this pid
 * (0 also for a pid that no host has). */
ZAVMSG_API enum zavmsg_status zavmsg_count(zavmsg* connection, const char* pid,
                                           unsigned long* count);

/* Messages fetched with zavmsg_get(): its texts live as long as the list. */
struct zavmsg_list
{
    size_t count;
    const struct zavmsg_message* messages;
};

/* "GetMessage:": fetches the messages queued for the host with this pid
 * and empties its queue. *list is set on ZAVMSG_OK (to an empty list when
 * none are queued) and NULL otherwise; ZAVMSG_UNKNOWN_HOST when no host has
 * that pid. */
ZAVMSG_API enum zavmsg_status zavmsg_get(zavmsg* connection, const char* pid,
                                         struct zavmsg_list** list);

/* Frees a list; NULL is allowed. */
ZAVMSG_API void zavmsg_list_free(struct zavmsg_list* list);

#ifdef __cplusplus
}
#endif

#endif
