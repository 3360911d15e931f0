// zav-push: the push service that zav-msg-agent polls, on SQLite or
// PostgreSQL, with its admin API and the command line that drives it. This
// file reads the command and runs it; the commands are in cli/.
#include "cli/cli.h"
#include "store/store.h"

#include <cstdio>
#include <string>
#include <vector>

#ifndef ZAV_VERSION
#define ZAV_VERSION "unknown"
#endif

using namespace zp::cli;

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
        known = {"listen",          "admin-listen", "db",           "prefix",       "threads",
                 "max-connections", "read-timeout", "idle-timeout", "view-machines"};
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
    return adminCommand(command, args);
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
