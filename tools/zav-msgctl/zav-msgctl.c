/* zav-msgctl: speaks the agent's pipe protocol from a shell, through
 * libzavmsg. It starts often and does little, so it is plain C: its start
 * costs what the C library's does. The command line is read in arguments.c. */
#include "arguments.h"

#include <jansson.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifndef ZAV_VERSION
#define ZAV_VERSION "unknown"
#endif

static const char usage[] =
    "Usage: zav-msgctl [OPTION]... COMMAND [ARGUMENT]...\n"
    "Send one command to the running zav-msg-agent over its local pipe and print\n"
    "the agent's reply.\n"
    "\n"
    "Commands:\n"
    "  hello                     probe the agent (\"Hello\"); the reply is OK\n"
    "  count PID                 the number of messages queued for the host with\n"
    "                            process id PID (\"MessageCount:PID\"); 0 for an\n"
    "                            unknown PID\n"
    "  get [--raw] PID           fetch and remove those messages\n"
    "                            (\"GetMessage:PID\"), printed as indented JSON, or\n"
    "                            as sent with --raw; 0 for an unknown PID\n"
    "  register OPTION VALUE...  register a host, with the options of the agent's\n"
    "                            own command line: -pid, -product and -mac\n"
    "                            (required), -uid, -productversion, -purchase,\n"
    "                            -handle, -properties (\"REGISTER:\" and the\n"
    "                            client text)\n"
    "  popup OPTION...           show a popup with the popup options below\n"
    "                            (\"PopupMessage:\" and the message as JSON)\n"
    "  raw TEXT                  send TEXT unchanged as one command\n"
    "\n"
    "Options:\n"
    "  --socket=PATH             the agent's socket (default: zav_msg_ipc_pipe in\n"
    "                            $XDG_RUNTIME_DIR, or in <temp>/zav-msg-<uid> when\n"
    "                            XDG_RUNTIME_DIR is not set; on Windows the pipe\n"
    "                            \\\\.\\pipe\\zav_msg_ipc_pipe-<the user's SID>)\n"
    "  --timeout=MS              how long the command may take in all: the\n"
    "                            connection, the command and the whole reply\n"
    "                            (default 2000)\n"
    "  -h, --help                show this help and exit\n"
    "  -V, --version             show the version and exit\n"
    "\n"
    "Popup options:\n"
    "  --title=TEXT              headline (required)\n"
    "  --summary=TEXT            body, plain text or HTML; - reads it from\n"
    "                            standard input\n"
    "  --page=URL                show this web page as the body instead; - reads\n"
    "                            the address from standard input (one of --summary\n"
    "                            and --page is required)\n"
    "  --author=NAME             the sender's name\n"
    "  --setting=KEY=VALUE       presentation setting (width, height, position);\n"
    "                            may be repeated\n"
    "  --action=ID,LABEL,URL     a button; ID and LABEL hold no comma, the URL\n"
    "                            may; may be repeated\n"
    "\n"
    "An option takes its value as --option=VALUE or --option VALUE. --socket and\n"
    "--timeout may follow the command too, except for register, whose arguments\n"
    "are those of the agent.\n"
    "\n"
    "Exit status:\n"
    "  0   the agent replied\n"
    "  1   no agent is listening on the socket\n"
    "  2   usage error; nothing was sent\n"
    "  3   the agent did not reply in time\n"
    "  4   the agent answered with an error (\"ERROR: ...\"), printed on stderr\n"
    "  5   the agent's reply is not what the command expects (count: not a\n"
    "      number; get: neither a list nor 0; the others: not OK), printed on\n"
    "      stderr\n";

static void print(FILE* stream, const char* text, size_t length)
{
    fwrite(text, 1, length, stream);
    if (length == 0 || text[length - 1] != '\n') {
        fputc('\n', stream);
    }
}

/* The message list as indented JSON, or the reply as it came. */
static void print_list(const char* reply, size_t length)
{
    json_t* list = json_loadb(reply, length, JSON_ALLOW_NUL, NULL);
    char* text = json_array_size(list) > 0 ? json_dumps(list, JSON_INDENT(4)) : NULL;
    print(stdout, text != NULL ? text : reply, text != NULL ? strlen(text) : length);
    free(text);
    json_decref(list);
}

/* Prints what came of the command and returns the exit status. */
static int report(zavmsg* agent, int status, int pretty)
{
    if (agent == NULL) {
        fputs("zav-msgctl: out of memory\n", stderr);
        return NO_REPLY;
    }
    size_t length = 0;
    const char* reply = zavmsg_reply(agent, &length);
    switch (status) {
    case ZAVMSG_OK:
    case ZAVMSG_UNKNOWN_HOST: /* "0" */
        if (pretty && status == ZAVMSG_OK) {
            print_list(reply, length);
        } else {
            print(stdout, reply, length);
        }
        status = REPLIED;
        break;
    case ZAVMSG_INVALID:
        usage_error("%s", zavmsg_error(agent));
        break;
    case ZAVMSG_ODD_REPLY:
        fprintf(stderr, "zav-msgctl: %s\n", zavmsg_error(agent));
        status = ODD_REPLY;
        break;
    default:
        fprintf(stderr, "zav-msgctl: %s\n", zavmsg_error(agent));
        status = status == ZAVMSG_NO_MEMORY ? NO_REPLY : status;
    }
    zavmsg_close(agent);
    return status;
}

/* The command line's command; the arrays have room for every argument. */
static int run(struct request* r, int argc, char** argv, char* properties, size_t properties_size,
               struct zavmsg_setting* settings, struct zavmsg_action* actions)
{
    int status =
        take_options(r, argv + 1, argc - 1, common_options | 1u << O_HELP | 1u << O_VERSION, 1);
    if (status >= 0) {
        return status;
    }
    if (r->value[O_HELP] != NULL) {
        fputs(usage, stdout);
        return REPLIED;
    }
    if (r->value[O_VERSION] != NULL) {
        puts("zav-msgctl " ZAV_VERSION);
        return REPLIED;
    }
    if (timeout_of(r) == 0) {
        return usage_error("--timeout wants milliseconds, not %s", r->value[O_TIMEOUT]);
    }
    if (r->positional_count == 0) {
        return usage_error("%s", "no command given");
    }
    /* Options up to the command's name; everything after it is the command's. */
    const char* verb = r->positional[0];
    char** rest = r->positional + 1;
    const int rest_count = r->positional_count - 1;
    struct zavmsg_host host = {NULL};
    struct zavmsg_message message = {NULL};
    const char* argument = "";
    if (strcmp(verb, "register") == 0) {
        status = host_of(rest, rest_count, &host, properties, properties_size);
    } else {
        const int is_popup = strcmp(verb, "popup") == 0;
        const unsigned allowed = common_options | (is_popup ? popup_options : 0) |
                                 (strcmp(verb, "get") == 0 ? 1u << O_RAW : 0);
        r->positional += r->positional_count; /* the command's own arguments go after */
        r->positional_count = 0;
        status = take_options(r, rest, rest_count, allowed, 0);
        const int values = r->positional_count;
        argument = values == 1 ? r->positional[0] : "";
        if (status >= 0) {
            return status;
        }
        if (timeout_of(r) == 0) {
            return usage_error("--timeout wants milliseconds, not %s", r->value[O_TIMEOUT]);
        }
        if (is_popup && values == 0) {
            status = popup_message(r, &message, settings, actions);
        } else if (!(strcmp(verb, "hello") == 0 && values == 0) &&
                   !((strcmp(verb, "count") == 0 || strcmp(verb, "get") == 0 ||
                      strcmp(verb, "raw") == 0) &&
                     values == 1)) {
            return usage_error("bad arguments for %s", verb);
        }
    }
    if (status >= 0) {
        return status;
    }

    zavmsg* agent = NULL;
    status = zavmsg_connect(&agent, r->value[O_SOCKET], timeout_of(r));
    if (status == ZAVMSG_OK) {
        unsigned long count = 0;
        struct zavmsg_list* list = NULL;
        switch (verb[0]) {
        case 'h':
            status = zavmsg_hello(agent);
            break;
        case 'c':
            status = zavmsg_count(agent, argument, &count);
            break;
        case 'g':
            status = zavmsg_get(agent, argument, &list);
            zavmsg_list_free(list);
            break;
        case 'p':
            status = zavmsg_popup(agent, &message);
            break;
        case 'r':
            status = verb[1] == 'e' ? zavmsg_register(agent, &host)
                                    : zavmsg_command(agent, argument, strlen(argument));
            break;
        }
    }
    return report(agent, status, verb[0] == 'g' && r->value[O_RAW] == NULL);
}

int main(int argc, char* argv[])
{
    /* Room for every argument in the lists, whatever they turn out to be. */
    const size_t room = (size_t)argc + 1;
    struct request r = {{NULL}, calloc(room, sizeof(char*)),     0, calloc(room, sizeof(char*)),
                        0,      calloc(2 * room, sizeof(char*)), 0};
    char** positional = r.positional;
    size_t argument_bytes = 2;
    for (int i = 1; i < argc; ++i) {
        argument_bytes += strlen(argv[i]) + 1;
    }
    char* properties = calloc(argument_bytes, 1);
    struct zavmsg_setting* settings = calloc(room, sizeof *settings);
    struct zavmsg_action* actions = calloc(room, sizeof *actions);
    int status = NO_REPLY;
    if (r.settings && r.actions && r.positional && properties && settings && actions) {
        status = run(&r, argc, argv, properties, argument_bytes, settings, actions);
    } else {
        fputs("zav-msgctl: out of memory\n", stderr);
    }
    free(r.settings);
    free(r.actions);
    free(positional);
    free(properties);
    free(settings);
    free(actions);
    return status;
}
