/* zav-msgctl's command line, read into a request. */
#include "arguments.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* The most that "-" reads from standard input. */
#define MAX_STANDARD_INPUT ((size_t)64 * 1024)

/* An option: its long name, its short one (or 0), and whether it takes a value. */
struct known_option
{
    const char* name;
    char short_name;
    int takes_value;
};

static const struct known_option options[OPTION_COUNT] = {
    {"socket", 0, 1},  {"timeout", 0, 1}, {"help", 'h', 0}, {"version", 'V', 0},
    {"title", 0, 1},   {"summary", 0, 1}, {"page", 0, 1},   {"author", 0, 1},
    {"setting", 0, 1}, {"action", 0, 1},  {"raw", 0, 0}};

const unsigned common_options = 1u << O_SOCKET | 1u << O_TIMEOUT;
const unsigned popup_options = 1u << O_TITLE | 1u << O_SUMMARY | 1u << O_PAGE | 1u << O_AUTHOR |
                               1u << O_SETTING | 1u << O_ACTION;

int usage_error(const char* format, const char* what)
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
int take_options(struct request* r, char** args, int count, unsigned allowed, int at_command)
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
        const size_t n = fread(input + length, 1, MAX_STANDARD_INPUT + 1 - length, stdin);
        if (n == 0) {
            break;
        }
        length += n;
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
int popup_message(struct request* r, struct zavmsg_message* m, struct zavmsg_setting* settings,
                  struct zavmsg_action* actions)
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
int host_of(char** args, int count, struct zavmsg_host* host, char* properties, size_t size)
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

/* --timeout's value, or 0 when it is no number of milliseconds. */
int timeout_of(const struct request* r)
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
