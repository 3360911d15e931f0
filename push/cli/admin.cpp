// The commands that drive a running service through its admin API:
// campaign, send, stats and settings.
#include "admin/client.h"
#include "cli/cli.h"
#include "core/json.h"

#include <cstdio>
#include <cstdlib>

namespace zp::cli {

namespace {

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

} // namespace

int adminCommand(const std::string& command, const Args& args)
{
    std::string reason;
    const auto wantArgs = [&](std::size_t n) { return args.rest.size() == n; };
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

} // namespace zp::cli
