// The help texts of zav-push and of each of its commands (also what the
// manual page is made from).
#include "cli/cli.h"

namespace zp::cli {

namespace {

const char* const storeOption =
    "  --db=URL                  the store: sqlite:PATH (one file, made if needed;\n"
    "                            sqlite:PATH?sync=full to sync every commit to\n"
    "                            disk) or postgresql://USER@HOST/DB (default:\n"
    "                            sqlite:$STATE_DIRECTORY/push.db, else\n"
    "                            ~/.local/state/zav-push/push.db)\n";

const char* const clientOptions =
    "  --admin=URL               the admin API (default http://127.0.0.1:8361, or\n"
    "                            $ZAV_PUSH_ADMIN)\n"
    "  --token-file=FILE         read the token from FILE (default: $ZAV_PUSH_TOKEN)\n";

} // namespace

extern const char* const mainHelp;
const char* const mainHelp =
    "Usage: zav-push COMMAND [OPTION]... [ARGUMENT]...\n"
    "The push service of zav-msg-agent: it answers the agents' detect, message and\n"
    "action requests from a store (SQLite by default, or PostgreSQL), delivers\n"
    "campaigns and direct messages at most once per machine, and counts what was\n"
    "delivered and clicked. An admin API on a second address takes campaigns.\n"
    "\n"
    "Commands:\n"
    "  serve                     run the service\n"
    "  migrate                   bring the store's schema up to date\n"
    "  token add NAME            make an admin token (read or write role)\n"
    "  campaign add FILE         create a campaign from a JSON file (- for stdin)\n"
    "  campaign list             list the campaigns\n"
    "  campaign show ID          show one campaign whole\n"
    "  campaign pause|resume|activate|end ID\n"
    "                            change a campaign's state\n"
    "  send FILE                 send a direct message to one machine\n"
    "  stats ID                  a campaign's figures: matched, delivered, clicked\n"
    "  settings [KEY=VALUE]...   show or change the fleet settings (interval,\n"
    "                            baseUrl, fingerprints)\n"
    "  help COMMAND              the help of one command\n"
    "\n"
    "Options:\n"
    "  -h, --help                show this help and exit\n"
    "  -V, --version             show the version and exit\n"
    "\n"
    "Each command has its own options: zav-push help COMMAND. An option takes its\n"
    "value as --option=VALUE or --option VALUE.\n"
    "\n"
    "Exit status:\n"
    "  0   done\n"
    "  1   failed: the service answered with an error (printed on stderr), the store\n"
    "      cannot be used, or serve cannot listen\n"
    "  2   usage error; nothing was done\n"
    "  3   the admin API cannot be reached\n";

extern const std::map<std::string, std::string> commandHelp;
const std::map<std::string, std::string> commandHelp{
    {"serve",
     std::string("Usage: zav-push serve [OPTION]...\n"
                 "Run the service until SIGINT or SIGTERM. Pending migrations are applied first.\n"
                 "The first line on stdout names the two addresses.\n\n"
                 "Options:\n"
                 "  --listen=HOST:PORT        the agents' side (default 127.0.0.1:8360; port 0\n"
                 "                            picks a free one)\n"
                 "  --admin-listen=HOST:PORT  the admin API (default 127.0.0.1:8361)\n") +
         storeOption +
         "  --prefix=PATH             the path the agents' requests start with\n"
         "                            (default /push)\n"
         "  --threads=N               serving threads (default: the number of cores, at\n"
         "                            least 2; 4 per core for PostgreSQL)\n"
         "  --max-connections=N       open connections at most (default 10000); more\n"
         "                            are closed at once\n"
         "  --read-timeout=SECONDS    for a request's headers and body (default 10)\n"
         "  --idle-timeout=SECONDS    before an idle kept-alive connection is closed\n"
         "                            (default 30)\n"
         "  --view-machines=N         machines whose detects are answered from memory,\n"
         "                            at most a second behind the store (default\n"
         "                            2000000, about 175 bytes each; 0: none)\n"},
    {"migrate", std::string("Usage: zav-push migrate [--db=URL]\n"
                            "Apply the store's pending schema migrations and print its version.\n\n"
                            "Options:\n") +
                    storeOption},
    {"token", std::string("Usage: zav-push token add NAME [--role=read|write] [--db=URL]\n"
                          "Make an admin token and print it: it is stored hashed and cannot be\n"
                          "shown again. A read token may only look; a write token may change.\n\n"
                          "Options:\n"
                          "  --role=ROLE               read or write (default read)\n") +
                  storeOption},
    {"campaign",
     std::string("Usage: zav-push campaign add FILE|-\n"
                 "       zav-push campaign list\n"
                 "       zav-push campaign show ID\n"
                 "       zav-push campaign pause|resume|activate|end ID\n"
                 "Create, list, show or change campaigns through the admin API. A campaign\n"
                 "file is a JSON object: name, message (the service's form), audience\n"
                 "(products, versionAtLeast, versionBelow, purchased, userIds, macs,\n"
                 "properties, percent), start, end, priority, perMachine, state (draft or\n"
                 "active).\n\n"
                 "Options:\n") +
         clientOptions},
    {"send",
     std::string("Usage: zav-push send FILE|-\n"
                 "Send direct messages to one machine: {\"to\": {\"mac\":..,\"product\":..}\n"
                 "or {\"fingerprint\":..}, \"message\": {...}} or \"messages\": [...].\n\n"
                 "Options:\n") +
         clientOptions},
    {"stats", std::string("Usage: zav-push stats ID\n"
                          "A campaign's figures: machines matched now, deliveries, machines\n"
                          "delivered to, clicks per action, and each per day.\n\n"
                          "Options:\n") +
                  clientOptions},
    {"settings",
     std::string("Usage: zav-push settings [KEY=VALUE]...\n"
                 "Show the fleet settings, or change them: interval=SECONDS (902, told to\n"
                 "each machine once; 0: none), baseUrl=URL (903, moves every machine to\n"
                 "another service; empty: none), fingerprints=on|off (901).\n\n"
                 "Options:\n") +
         clientOptions},
};

} // namespace zp::cli
