// How the agent starts its page view program: where the program is, and the
// sandbox (bwrap) it runs in.
#pragma once

#include <QStringList>

namespace pagesandbox {

/// File name of the page view program.
QString programName();
/// The page view program's path; empty, and why, when it is in none of the
/// places looked in: the agent's own directory, the install's private
/// directory found from it (../lib/zav-msg-agent or the like, whatever the
/// prefix), then any added ones.
QString program(QString* why);
/// Adds a directory to look in (tests point it at the build tree).
void addSearchPath(const QString& dir);

/// A command line and environment that start the program.
struct Launch
{
    QStringList argv; ///< the program to run first, with its arguments
    QStringList env;  ///< NAME=value
    bool sandboxed = false;
    QString why; ///< why it is not sandboxed
    /// In a scope of its own (a cgroup), whose memory, processor time and
    /// tasks the kernel bounds; whyNoScope says why not.
    bool scoped = false;
    QString whyNoScope;
};

/// How to start program: in a sandbox if bwrap can make one here (tried
/// once per process), otherwise as it is. The sandbox shows the program
/// /usr, a few files of /etc (fonts, certificates, name lookup), the display's
/// socket and the program itself, a private /tmp and /dev, its own /proc; no
/// home, no runtime directory (so no pipe), no other process; its /tmp and
/// /dev/shm are memory file systems of limits::pageTmpBytes and
/// limits::pageShmBytes. It has its own user, process, IPC and host
/// namespaces, shares the network, cannot gain privileges and ends with the
/// agent. Where the session's service manager makes one (systemd-run --user
/// --scope, tried once per process), all of it runs in a transient scope
/// whose memory, processor time and tasks the kernel bounds. Either way the
/// program gets only the environment it needs (display, language, scaling,
/// proxies).
Launch launch(const QString& program);

} // namespace pagesandbox
