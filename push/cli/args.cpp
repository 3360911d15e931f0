// What zav-push's commands share: usage errors, reading options, the default
// store and reading a file.
#include "cli/cli.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>

namespace zp::cli {

int usageError(const std::string& reason)
{
    std::fprintf(stderr, "zav-push: %s (see zav-push --help)\n", reason.c_str());
    return Usage;
}

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

} // namespace zp::cli
