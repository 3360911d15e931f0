/* zav-msgctl's command line: its options, the popup options made into a
 * message and the agent's own options into a host. Each function returns -1
 * when it went well, else the exit status of a usage error (written to
 * stderr). */
#ifndef ZAV_MSGCTL_ARGUMENTS_H
#define ZAV_MSGCTL_ARGUMENTS_H

#include "zavmsg/zavmsg.h"

/* The exit statuses, as --help, the manual page and docs/hosts.md list them;
 * libzavmsg's first statuses are the same. */
enum
{
    REPLIED = ZAVMSG_OK,
    NO_AGENT = ZAVMSG_NO_AGENT,
    USAGE_ERROR = ZAVMSG_INVALID,
    NO_REPLY = ZAVMSG_NO_REPLY,
    REFUSED = ZAVMSG_REFUSED,
    ODD_REPLY = 5
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

extern const unsigned common_options; /* --socket, --timeout */
extern const unsigned popup_options;

/* Writes "zav-msgctl: " and the message to stderr; the usage error's status. */
int usage_error(const char* format, const char* what);

/* Takes the options among args that allowed (a bit per option) names.
 * With at_command, the first argument that is no option ends them (the
 * command's name); else arguments that are no options are the command's. */
int take_options(struct request* r, char** args, int count, unsigned allowed, int at_command);

/* --timeout's value in milliseconds, or 0 when it is not a number above 0. */
int timeout_of(const struct request* r);

/* The message that the popup options describe. The --setting and --action
 * values are split where they stand; "-" reads a value from standard input. */
int popup_message(struct request* r, struct zavmsg_message* m, struct zavmsg_setting* settings,
                  struct zavmsg_action* actions);

/* The host that the agent's own options describe: name/value pairs, names
 * matched exactly, unknown ones skipped with their value, a missing last
 * value taken as empty. properties (size bytes) receives their properties. */
int host_of(char** args, int count, struct zavmsg_host* host, char* properties, size_t size);

#endif
