// zav-push's command line: the pieces its commands share (exit statuses,
// options, the default store, reading a file) and the commands themselves,
// each in a file of its own under cli/.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace zp::cli {

// Exit statuses, as --help and the manual page list them.
enum Exit
{
    Done = 0,
    Failed = 1,
    Usage = 2,
    Unreachable = 3
};

/// The help of zav-push, and of each command by its name.
extern const char* const mainHelp;
extern const std::map<std::string, std::string> commandHelp;

/// Prints the reason and "see zav-push --help"; Usage.
int usageError(const std::string& reason);

/// Options of the form --name=VALUE or --name VALUE, and the other arguments.
struct Args
{
    std::map<std::string, std::string> options;
    std::vector<std::string> rest;
    bool help = false;
};

/// Reads argv from index from; false with the reason for an option not in known.
bool parseArgs(int argc, char* argv[], int from, const std::vector<std::string>& known, Args* out,
               std::string* reason);

/// The store when --db is not given: under systemd's StateDirectory, else
/// ~/.local/state/zav-push (made).
std::string defaultStore();

/// A file's text (- for stdin), at most 1 MiB.
bool readFile(const std::string& name, std::string* text, std::string* reason);

/// zav-push serve.
int serve(const Args& args);

/// The commands that talk to a running service's admin API: campaign, send,
/// stats, settings.
int adminCommand(const std::string& command, const Args& args);

} // namespace zp::cli
