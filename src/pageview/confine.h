// What the page view does to itself before it touches a page: limits that
// the page cannot lift and that every process it starts inherits.
#pragma once

#include <QString>

namespace confine {

/// The process ends when its parent does.
void dieWithParent();

/// Caps this process's and its children's writable private memory at
/// limits::pageMemoryPerProcess (soft and hard limit, so it is never raised again). False
/// and why when it cannot; sanitizer builds skip it (their shadow memory
/// counts as data).
bool limitMemory(QString* why);

/// Caps the tasks (processes and threads) of this process's user at
/// limits::pageTasks, soft and hard, where that user is the sandbox's own: in
/// a user namespace of its own, on a kernel that counts such a limit per
/// namespace (Linux 5.14 and later). False and why otherwise (elsewhere the
/// limit would count every process of the agent's user).
bool limitTasks(QString* why);

/// Sets no_new_privs and loads a system-call filter that refuses (EPERM or
/// EAFNOSUPPORT) what no page view needs: tracing and reading other
/// processes, mounting, kernel modules, keyrings, BPF, perf, userfaultfd,
/// io_uring, clock and system changes, typing into the terminal (TIOCSTI),
/// and sockets other than Unix, IPv4, IPv6 and netlink. Inherited by every
/// process started afterwards, and not removable. False and why when it
/// cannot be loaded.
bool filterSystemCalls(QString* why);

} // namespace confine
