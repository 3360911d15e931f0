// zav-push: the push service that zav-msg-agent polls, on SQLite or
// PostgreSQL, with its admin API and the command line that drives it.
#include "admin/client.h"
#include "http/routes.h"
#include "http/server.h"
#include "store/schema.h"
#include "store/store.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>

#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

#ifndef ZAV_VERSION
#define ZAV_VERSION "unknown"
#endif

namespace {

// Exit statuses, as --help and the manual page list them.
enum Exit
{
    Done = 0,
    Failed = 1,
    Usage = 2,
    Unreachable = 3
};

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
         "                            (default 30)\n"},
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

int usageError(const std::string& reason)
{
    std::fprintf(stderr, "zav-push: %s (see zav-push --help)\n", reason.c_str());
    return Usage;
}

/// Options of the form --name=VALUE or --name VALUE, and the other arguments.
struct Args
{
    std::map<std::string, std::string> options;
    std::vector<std::string> rest;
    bool help = false;
};

bool parseArgs(int argc, char* argv[], int from, const std::vector<std::string>& known, Args* out,
               std::string* reason)
{
    for (int i = from; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            out->help = true;
            continue;
        }
        if (arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
            const std::size_t eq = arg.find('=');
            const std::string name =
                arg.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
            bool ok = false;
            for (const std::string& k : known) {
                ok = ok || k == name;
            }
            if (!ok) {
                *reason = "unknown option --" + name;
                return false;
            }
            if (eq != std::string::npos) {
                out->options[name] = arg.substr(eq + 1);
            } else if (i + 1 < argc) {
                out->options[name] = argv[++i];
            } else {
                *reason = "--" + name + " wants a value";
                return false;
            }
            continue;
        }
        out->rest.push_back(arg);
    }
    return true;
}

std::string defaultStore()
{
    if (const char* state = std::getenv("STATE_DIRECTORY")) { // systemd's StateDirectory
        const std::string first = std::string(state).substr(0, std::string(state).find(':'));
        return "sqlite:" + first + "/push.db";
    }
    std::string dir;
    if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg && *xdg) {
        dir = xdg;
    } else {
        const char* home = std::getenv("HOME");
        dir = std::string(home ? home : ".") + "/.local/state";
    }
    dir += "/zav-push";
    std::string made;
    for (std::size_t at = 1; at != std::string::npos; at = dir.find('/', at + 1)) {
        ::mkdir(dir.substr(0, at).c_str(), 0700);
    }
    ::mkdir(dir.c_str(), 0700);
    return "sqlite:" + dir + "/push.db";
}

bool readFile(const std::string& name, std::string* text, std::string* reason)
{
    constexpr std::size_t cap = 1 << 20;
    std::istream* in = nullptr;
    std::ifstream file;
    if (name == "-") {
        in = &std::cin;
    } else {
        file.open(name, std::ios::binary);
        if (!file) {
            *reason = "cannot read " + name + ": " + std::strerror(errno);
            return false;
        }
        in = &file;
    }
    text->assign(cap + 1, '\0');
    in->read(text->data(), std::streamsize(cap + 1));
    text->resize(std::size_t(in->gcount()));
    if (text->size() > cap) {
        *reason = name + " is over 1 MiB";
        return false;
    }
    return true;
}

int runClient(const Args& args, const std::string& method, const std::string& path,
              const std::string& body)
{
    std::string token;
    if (args.options.count("token-file")) {
        std::string reason;
        if (!readFile(args.options.at("token-file"), &token, &reason)) {
            return usageError(reason);
        }
        while (!token.empty() &&
               (token.back() == '\n' || token.back() == '\r' || token.back() == ' ')) {
            token.pop_back();
        }
    } else if (const char* env = std::getenv("ZAV_PUSH_TOKEN")) {
        token = env;
    }
    std::string base = "http://127.0.0.1:8361";
    if (args.options.count("admin")) {
        base = args.options.at("admin");
    } else if (const char* env = std::getenv("ZAV_PUSH_ADMIN")) {
        base = env;
    }
    const zp::ClientAnswer answer = zp::adminRequest(base, method, path, token, body);
    if (answer.status == 0) {
        std::fprintf(stderr, "zav-push: %s\n", answer.body.c_str());
        return Unreachable;
    }
    if (answer.status >= 400) {
        std::fprintf(stderr, "zav-push: %d: %s", answer.status, answer.body.c_str());
        if (answer.body.empty() || answer.body.back() != '\n') {
            std::fputc('\n', stderr);
        }
        return Failed;
    }
    std::fputs(answer.body.c_str(), stdout);
    return Done;
}

/// Runs a context until it is stopped: a handler that throws (memory ran
/// out) is logged and the context goes on with its other connections.
void runContext(boost::asio::io_context& context)
{
    for (;;) {
        try {
            context.run();
            return;
        } catch (const std::exception& e) {
            std::fprintf(stderr, "zav-push: a request failed: %s\n", e.what());
        }
    }
}

int serve(const Args& args)
{
    const std::string url = args.options.count("db") ? args.options.at("db") : defaultStore();
    const std::string listen =
        args.options.count("listen") ? args.options.at("listen") : "127.0.0.1:8360";
    const std::string adminListen =
        args.options.count("admin-listen") ? args.options.at("admin-listen") : "127.0.0.1:8361";
    std::string prefix = args.options.count("prefix") ? args.options.at("prefix") : "/push";
    while (!prefix.empty() && prefix.back() == '/') {
        prefix.pop_back();
    }
    const bool postgres = url.rfind("postgres", 0) == 0;
    const unsigned cores = std::max(2u, std::thread::hardware_concurrency());
    long threads = postgres ? long(cores) * 4 : long(cores);
    long maxConnections = 10000;
    long readTimeout = 10;
    long idleTimeout = 30;
    for (const auto& [name, out] :
         {std::pair<const char*, long*>{"threads", &threads},
          std::pair<const char*, long*>{"max-connections", &maxConnections},
          std::pair<const char*, long*>{"read-timeout", &readTimeout},
          std::pair<const char*, long*>{"idle-timeout", &idleTimeout}}) {
        if (args.options.count(name)) {
            char* end = nullptr;
            *out = std::strtol(args.options.at(name).c_str(), &end, 10);
            if (*end || *out < 1 || *out > 1000000) {
                return usageError(std::string("--") + name + " wants a number from 1 to 1000000");
            }
        }
    }
    if (threads > 256) {
        return usageError("--threads is at most 256");
    }
    std::string host;
    unsigned short port = 0;
    if (!zp::splitAddress(listen, &host, &port) || !zp::splitAddress(adminListen, &host, &port)) {
        return usageError("--listen and --admin-listen want HOST:PORT");
    }
    // Each connection is a descriptor: take what the hard limit allows.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
    std::signal(SIGPIPE, SIG_IGN);

    zp::PushStore store(url, std::size_t(threads) + 2);
    std::string reason;
    const int version = store.migrate(&reason);
    if (version < 0) {
        std::fprintf(stderr, "zav-push: %s\n", reason.c_str());
        return Failed;
    }
    // One context per thread: each connection lives on one of them.
    std::vector<std::unique_ptr<boost::asio::io_context>> contexts;
    std::vector<boost::asio::io_context*> spread;
    for (long i = 0; i < threads; ++i) {
        contexts.push_back(std::make_unique<boost::asio::io_context>(1));
        spread.push_back(contexts.back().get());
    }
    zp::HttpLimits agentLimits;
    agentLimits.maxConnections = std::size_t(maxConnections);
    agentLimits.bodyBytes = 4096;
    agentLimits.readSeconds = int(std::min(readTimeout, 3600L));
    agentLimits.idleSeconds = int(std::min(idleTimeout, 3600L));
    zp::HttpLimits adminLimits;
    adminLimits.maxConnections = 100;
    adminLimits.bodyBytes = 1 << 20;
    adminLimits.headerBytes = 16384;
    adminLimits.readSeconds = agentLimits.readSeconds;
    adminLimits.idleSeconds = agentLimits.idleSeconds;
    zp::HttpServer agents(
        spread, [&](const zp::HttpRequest& r) { return zp::agentSide(store, prefix, r); },
        agentLimits);
    zp::HttpServer admin(
        spread, [&](const zp::HttpRequest& r) { return zp::adminSide(store, r); }, adminLimits);
    if (!agents.listen(listen, &reason) || !admin.listen(adminListen, &reason)) {
        std::fprintf(stderr, "zav-push: %s\n", reason.c_str());
        return Failed;
    }
    zp::splitAddress(listen, &host, &port);
    std::string adminHost;
    zp::splitAddress(adminListen, &adminHost, &port);
    std::printf("zav-push: listening on http://%s:%u%s, admin on http://%s:%u/admin, store "
                "schema %d\n",
                host.c_str(), unsigned(agents.port()), prefix.c_str(), adminHost.c_str(),
                unsigned(admin.port()), version);
    std::fflush(stdout);

    boost::asio::signal_set stops(*contexts.front(), SIGINT, SIGTERM);
    stops.async_wait([&](const boost::system::error_code&, int) {
        agents.stop();
        admin.stop();
        for (auto& context : contexts) {
            context->stop();
        }
    });
    std::vector<std::thread> pool;
    for (long i = 1; i < threads; ++i) {
        boost::asio::io_context* context = contexts[std::size_t(i)].get();
        pool.emplace_back([context] {
            // Kept running while it has no connection.
            auto work = boost::asio::make_work_guard(*context);
            runContext(*context);
        });
    }
    runContext(*contexts.front());
    for (std::thread& t : pool) {
        t.join();
    }
    std::printf("zav-push: stopped\n");
    return Done;
}

} // namespace

int run(int argc, char* argv[])
{
    if (argc < 2) {
        return usageError("a command is needed");
    }
    std::string command = argv[1];
    if (command == "-h" || command == "--help") {
        std::fputs(mainHelp, stdout);
        return Done;
    }
    if (command == "-V" || command == "--version") {
        std::puts("zav-push " ZAV_VERSION);
        return Done;
    }
    if (command == "help") {
        if (argc < 3) {
            std::fputs(mainHelp, stdout);
            return Done;
        }
        const auto it = commandHelp.find(argv[2]);
        if (it == commandHelp.end()) {
            return usageError(std::string("no command ") + argv[2]);
        }
        std::fputs(it->second.c_str(), stdout);
        return Done;
    }
    const auto help = commandHelp.find(command);
    if (help == commandHelp.end()) {
        return usageError("no command " + command);
    }
    std::vector<std::string> known;
    if (command == "serve") {
        known = {"listen",  "admin-listen",    "db",           "prefix",
                 "threads", "max-connections", "read-timeout", "idle-timeout"};
    } else if (command == "migrate") {
        known = {"db"};
    } else if (command == "token") {
        known = {"db", "role"};
    } else {
        known = {"admin", "token-file"};
    }
    Args args;
    std::string reason;
    if (!parseArgs(argc, argv, 2, known, &args, &reason)) {
        return usageError(reason);
    }
    if (args.help) {
        std::fputs(help->second.c_str(), stdout);
        return Done;
    }
    const auto wantArgs = [&](std::size_t n) { return args.rest.size() == n; };
    if (command == "serve") {
        return wantArgs(0) ? serve(args) : usageError("serve takes no argument");
    }
    if (command == "migrate" || command == "token") {
        if (command == "migrate" ? !wantArgs(0) : !(wantArgs(2) && args.rest[0] == "add")) {
            return usageError(command == "migrate" ? "migrate takes no argument"
                                                   : "token add NAME");
        }
        const std::string url = args.options.count("db") ? args.options.at("db") : defaultStore();
        zp::PushStore store(url, 1);
        const int version = store.migrate(&reason);
        if (version < 0) {
            std::fprintf(stderr, "zav-push: %s\n", reason.c_str());
            return Failed;
        }
        if (command == "migrate") {
            std::printf("schema version %d\n", version);
            return Done;
        }
        const std::string role = args.options.count("role") ? args.options.at("role") : "read";
        if (role != "read" && role != "write") {
            return usageError("--role is read or write");
        }
        const std::string token = store.addToken(args.rest[1], role, &reason);
        if (token.empty()) {
            std::fprintf(stderr, "zav-push: %s\n", reason.c_str());
            return Failed;
        }
        std::printf("%s\n", token.c_str());
        return Done;
    }
    if (command == "campaign") {
        const std::string verb = args.rest.empty() ? "" : args.rest[0];
        if (verb == "list" && wantArgs(1)) {
            return runClient(args, "GET", "/admin/campaigns", "");
        }
        if (verb == "add" && wantArgs(2)) {
            std::string body;
            if (!readFile(args.rest[1], &body, &reason)) {
                return usageError(reason);
            }
            return runClient(args, "POST", "/admin/campaigns", body);
        }
        const bool change =
            verb == "pause" || verb == "resume" || verb == "activate" || verb == "end";
        if ((verb == "show" || change) && wantArgs(2)) {
            const std::string& id = args.rest[1];
            if (id.empty() || id.size() > 18 ||
                id.find_first_not_of("0123456789") != std::string::npos) {
                return usageError("not a campaign id: " + id);
            }
            return change ? runClient(args, "POST", "/admin/campaigns/" + id + "/" + verb, "{}")
                          : runClient(args, "GET", "/admin/campaigns/" + id, "");
        }
        return usageError("campaign add FILE, list, show ID, pause|resume|activate|end ID");
    }
    if (command == "send") {
        std::string body;
        if (!wantArgs(1)) {
            return usageError("send FILE");
        }
        if (!readFile(args.rest[0], &body, &reason)) {
            return usageError(reason);
        }
        return runClient(args, "POST", "/admin/direct", body);
    }
    if (command == "stats") {
        if (!wantArgs(1) || args.rest[0].empty() ||
            args.rest[0].find_first_not_of("0123456789") != std::string::npos ||
            args.rest[0].size() > 18) {
            return usageError("stats ID");
        }
        return runClient(args, "GET", "/admin/campaigns/" + args.rest[0] + "/stats", "");
    }
    // settings [KEY=VALUE]...
    if (args.rest.empty()) {
        return runClient(args, "GET", "/admin/settings", "");
    }
    zp::Json body(json_object());
    for (const std::string& pair : args.rest) {
        const std::size_t eq = pair.find('=');
        if (eq == std::string::npos) {
            return usageError("settings takes KEY=VALUE, not " + pair);
        }
        const std::string key = pair.substr(0, eq);
        const std::string value = pair.substr(eq + 1);
        if (key == "interval") {
            char* end = nullptr;
            const long n = std::strtol(value.c_str(), &end, 10);
            if (value.empty() || *end) {
                return usageError("interval takes seconds");
            }
            json_object_set_new(body.get(), key.c_str(), json_integer(n));
        } else {
            json_object_set_new(body.get(), key.c_str(), json_string(value.c_str()));
        }
    }
    return runClient(args, "PUT", "/admin/settings", zp::dumpJson(body.get()));
}

int main(int argc, char* argv[])
{
    try {
        return run(argc, argv);
    } catch (const std::exception& e) { // out of memory or threads: nothing else throws
        std::fprintf(stderr, "zav-push: %s\n", e.what());
        return Failed;
    }
}
