// zav-msgctl: its command line, turned into the one command it sends to the
// agent, and the texts it prints.
#pragma once

#include <QString>
#include <QStringList>

namespace msgctl {

/// The exit statuses, as --help, the manual page and the README list them.
enum ExitStatus
{
    Replied = 0,    ///< the agent replied
    NoAgent = 1,    ///< nobody listens on the socket
    UsageError = 2, ///< a bad command line: nothing was sent
    NoReply = 3,    ///< no whole reply within the time-out
    Refused = 4     ///< the agent answered "ERROR: ..."
};

/// What to send, where, and how to print the reply.
struct Request
{
    QString command;    ///< the command text, e.g. "Hello"
    QString socketPath; ///< empty: the agent's usual socket
    int timeoutMs = 2000;
    bool pretty = false; ///< print a message list as indented JSON
};

/// Parses the arguments that follow the program's name. Returns -1 when
/// *request holds a command to send; otherwise the exit status, with the text
/// to print in *text (--help and --version: stdout and Replied; a usage
/// error: stderr and UsageError). "--summary -" and "--page -" read the value
/// from standard input.
int parse(const QStringList& args, Request* request, QString* text);

/// The reply of "GetMessage:" as indented JSON, or unchanged when it is not
/// a JSON array (the "0" for an unknown pid).
QString prettyMessages(const QString& reply);

/// The text of --help.
QString usage();

} // namespace msgctl
