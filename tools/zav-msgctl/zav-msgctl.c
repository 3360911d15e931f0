/* zav-msgctl: speaks the agent's pipe protocol from a shell, through
 * libzavmsg. It starts often and does little, so it is plain C: its start
 * costs what the C library's does. */
#include "zavmsg/zavmsg.h"

#include <errno.h>
#include <jansson.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#ifndef ZAV_VERSION
#define ZAV_VERSION "unknown"
#endif

/* The exit statuses, as --help, the manual page and docs/hosts.md list them;
 * libzavmsg's first statuses are the same. */
enum
{
    REPLIED = ZAVMSG_OK,
    NO_AGENT = ZAVMSG_NO_AGENT,
    USAGE_ERROR = ZAVMSG_INVALID,
    NO_REPLY = ZAVMSG_NO_REPLY,
    REFUSED = ZAVMSG_REFUSED
};

/* The most that "-" reads from standard input. */
#define MAX_STANDARD_INPUT ((size_t)64 * 1024)

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
    "                            XDG_RUNTIME_DIR is not set)\n"
    "  --timeout=MS              wait this long for the connection and for the\n"
    "                            reply (default 2000)\n"
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
    "  4   the agent answered with an error (\"ERROR: ...\"), printed on stderr\n";

/* An option: its long name, its short one (or 0), and whether it takes a value. */
struct known_option
{
    const char* name;
    char short_name;
    int takes_value;
};

enum
{
    O_SOCKET,
    O_TIMEOUT,
    O_HELP,
    O_VERSION,
    O_TITLE,
    O_SUMMARY,
    O_PAGE,
    O_AUTHOR,
    O_SETTING,
    O_ACTION,
    O_RAW,
    OPTION_COUNT
};

static const struct known_option options[OPTION_COUNT] = {
    {"socket", 0, 1},  {"timeout", 0, 1}, {"help", 'h', 0}, {"version", 'V', 0},
    {"title", 0, 1},   {"summary", 0, 1}, {"page", 0, 1},   {"author", 0, 1},
    {"setting", 0, 1}, {"action", 0, 1},  {"raw", 0, 0}};

/* What the command line asks for. */
struct request
{
    const char* value[OPTION_COUNT]; /* the last value given; "" for a flag given */
    const char** settings;           /* every --setting, in order */
    size_t setting_count;
    const char** actions; /* every --action, in order */
    size_t action_count;
    char** positional; /* the arguments that are no options */
    int positional_count;
};

static int usage_error(const char* format, const char* what)
{
    fputs("zav-msgctl: ", stderr);
    fprintf(stderr, format, what);
    fputs(" (see --help)\n", stderr);
    return USAGE_ERROR;
}

/* Takes the options among args that allowed (a bit per option) names.
 * With at_command, the first argument that is no option ends them (the
 * command's name); else arguments that are no options are the command's.
 * Returns -1, or the exit status of a usage error. */
static int take_options(struct request* r, char** args, int count, unsigned allowed, int at_command)
{
    for (int i = 0; i < count; ++i) {
        char* arg = args[i];
        if (strcmp(arg, "--") == 0 || arg[0] != '-' || arg[1] == '\0') {
            const int from = strcmp(arg, "--") == 0 ? i + 1 : i;
            if (at_command || from > i) {
                for (int j = from; j < count; ++j) {
                    r->positional[r->positional_count++] = args[j];
                }
                return -1;
            }
            r->positional[r->positional_count++] = arg;
            continue;
        }
        /* -hV: short options run together; --name=VALUE or --name VALUE. */
        const int is_long = arg[1] == '-';
        for (char* p = arg + 1; *p != '\0'; ++p) {
            const char* eq = is_long ? strchr(arg + 2, '=') : NULL;
            const size_t length = is_long ? (eq ? (size_t)(eq - arg - 2) : strlen(arg + 2)) : 1;
            int found = -1;
            for (int o = 0; o < OPTION_COUNT; ++o) {
                const int named = is_long ? strlen(options[o].name) == length &&
                                                memcmp(options[o].name, arg + 2, length) == 0
                                          : options[o].short_name == *p;
                found = named && (allowed & (1u << o)) ? o : found;
            }
            if (found < 0) {
                char name[64];
                snprintf(name, sizeof name, "%.*s", (int)(length < 60 ? length : 60),
                         is_long ? arg + 2 : p);
                return usage_error("Unknown option '%s'", name);
            }
            const char* value = "";
            if (options[found].takes_value) {
                if (eq == NULL && i + 1 >= count) {
                    return usage_error("Missing value after '%s'", arg);
                }
                value = eq != NULL ? eq + 1 : args[++i];
            } else if (eq != NULL) {
                return usage_error("Unexpected value after '%s'", arg);
            }
            if (found == O_SETTING) {
                r->settings[r->setting_count++] = value;
            } else if (found == O_ACTION) {
                r->actions[r->action_count++] = value;
            }
            r->value[found] = value;
            if (is_long) {
                break;
            }
        }
    }
    return -1;
}

/* The value of an option, read from standard input when it is "-": its
 * line breaks at the end left out. */
static int value_of(const char** value, const char* name)
{
    static char input[MAX_STANDARD_INPUT + 2];
    if (strcmp(*value, "-") != 0) {
        return -1;
    }
    size_t length = 0;
    while (length <= MAX_STANDARD_INPUT) {
        const ssize_t n = read(STDIN_FILENO, input + length, MAX_STANDARD_INPUT + 1 - length);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        length += (size_t)n;
    }
    if (length > MAX_STANDARD_INPUT) {
        fprintf(stderr,
                "zav-msgctl: standard input holds more than %zu KiB for --%s (see --help)\n",
                MAX_STANDARD_INPUT / 1024, name);
        return USAGE_ERROR;
    }
    while (length > 0 && input[length - 1] == '\n') {
        --length;
    }
    input[length] = '\0';
    *value = input;
    return -1;
}

static const char* trimmed(const char* text)
{
    static const char blanks[] = " \t\n\v\f\r";
    text += strspn(text, blanks);
    char* end = (char*)text + strlen(text);
    while (end > text && strchr(blanks, end[-1]) != NULL) {
        *--end = '\0';
    }
    return text;
}

/* The message that the popup options describe; -1 or a usage error. The
 * --setting and --action values are split where they stand. */
static int popup_message(struct request* r, struct zavmsg_message* m,
                         struct zavmsg_setting* settings, struct zavmsg_action* actions)
{
    const char** summary = &r->value[O_SUMMARY];
    const char** page = &r->value[O_PAGE];
    if (r->value[O_TITLE] == NULL || (*summary == NULL && *page == NULL)) {
        return usage_error("%s", "popup needs --title and --summary or --page");
    }
    if (*summary != NULL && *page != NULL && strcmp(*summary, "-") == 0 &&
        strcmp(*page, "-") == 0) {
        return usage_error("%s", "only one of --summary and --page can be -");
    }
    int status = -1;
    if ((*summary != NULL && (status = value_of(summary, "summary")) >= 0) ||
        (*page != NULL && (status = value_of(page, "page")) >= 0)) {
        return status;
    }
    m->title = r->value[O_TITLE];
    m->summary = *summary;
    if (*page != NULL) {
        m->form = "Url";
        m->url = trimmed(*page);
    }
    m->author = r->value[O_AUTHOR];
    for (size_t i = 0; i < r->setting_count; ++i) {
        char* setting = (char*)r->settings[i];
        char* eq = strchr(setting, '=');
        if (eq == NULL || eq == setting) {
            return usage_error("--setting wants KEY=VALUE, not %s", setting);
        }
        *eq = '\0';
        settings[i] = (struct zavmsg_setting){setting, eq + 1};
    }
    for (size_t i = 0; i < r->action_count; ++i) {
        /* The URL is last, so it may hold commas itself. */
        char* action = (char*)r->actions[i];
        char* first = strchr(action, ',');
        char* second = first != NULL ? strchr(first + 1, ',') : NULL;
        if (second == NULL) {
            return usage_error("--action wants ID,LABEL,URL, not %s", action);
        }
        *first = *second = '\0';
        actions[i] = (struct zavmsg_action){action, first + 1, second + 1};
    }
    m->settings = settings;
    m->setting_count = r->setting_count;
    m->actions = actions;
    m->action_count = r->action_count;
    return -1;
}

/* The host that the agent's own options describe: name/value pairs, names
 * matched exactly, unknown ones skipped with their value, a missing last
 * value taken as empty. -1 or a usage error. */
static int host_of(char** args, int count, struct zavmsg_host* host, char* properties, size_t size)
{
    size_t used = 0;
    for (int i = 0; i < count; i += 2) {
        const char* name = args[i];
        const char* value = i + 1 < count ? args[i + 1] : "";
        if (strcmp(name, "-uid") == 0) {
            host->uid = value;
        } else if (strcmp(name, "-mac") == 0) {
            host->mac = value;
        } else if (strcmp(name, "-product") == 0) {
            host->product = value;
        } else if (strcmp(name, "-productversion") == 0) {
            host->product_version = value;
        } else if (strcmp(name, "-purchase") == 0) {
            host->purchase = strcmp(value, "0") == 0 ? "N" : strcmp(value, "1") == 0 ? "Y" : "";
        } else if (strcmp(name, "-pid") == 0) {
            host->pid = value;
        } else if (strcmp(name, "-handle") == 0) {
            host->handle = value;
        } else if (strcmp(name, "-properties") == 0 && *value != '\0') {
            /* Each occurrence adds its pairs. */
            used += (size_t)snprintf(properties + used, size - used, "&%s", value);
        }
    }
    host->properties = properties;
    if (host->pid == NULL || !*host->pid || host->product == NULL || !*host->product ||
        host->mac == NULL || !*host->mac) {
        return usage_error("%s", "register needs -pid, -product and -mac");
    }
    return -1;
}

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

static const unsigned common_options = 1u << O_SOCKET | 1u << O_TIMEOUT;
static const unsigned popup_options = 1u << O_TITLE | 1u << O_SUMMARY | 1u << O_PAGE |
                                      1u << O_AUTHOR | 1u << O_SETTING | 1u << O_ACTION;

/* --timeout's value, or 0 when it is no number of milliseconds. */
static int timeout_of(const struct request* r)
{
    const char* text = r->value[O_TIMEOUT];
    if (text == NULL) {
        return 2000;
    }
    char* end = NULL;
    errno = 0;
    const long value = strtol(text, &end, 10);
    return *text != '\0' && *end == '\0' && errno == 0 && value > 0 && value <= 0x7fffffff
               ? (int)value
               : 0;
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
    case ZAVMSG_ODD_REPLY:    /* printed as it came */
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
