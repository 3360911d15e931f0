#include "confine.h"

#include "message/limits.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <seccomp.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/utsname.h>

#include <QFile>

#if defined(__SANITIZE_ADDRESS__)
#define ZAV_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZAV_SANITIZED 1
#endif
#endif

void confine::dieWithParent()
{
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
}

bool confine::limitMemory(QString* why)
{
#ifdef ZAV_SANITIZED
    *why = QStringLiteral("not limited in a sanitizer build");
    return false;
#else
    const rlimit limit{rlim_t(limits::pageMemoryPerProcess), rlim_t(limits::pageMemoryPerProcess)};
    if (::setrlimit(RLIMIT_DATA, &limit) != 0) {
        *why = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    return true;
#endif
}

bool confine::limitTasks(QString* why)
{
    QFile map(QStringLiteral("/proc/self/uid_map"));
    const QByteArray uids =
        map.open(QIODevice::ReadOnly) ? map.readAll().simplified() : "0 0 4294967295";
    if (uids == "0 0 4294967295") {
        *why = QStringLiteral("not in a user namespace of its own");
        return false;
    }
    utsname system = {};
    int major = 0, minor = 0;
    if (::uname(&system) != 0 || std::sscanf(system.release, "%d.%d", &major, &minor) != 2 ||
        major * 1000 + minor < 5014) {
        *why = QStringLiteral("the kernel counts tasks per user, not per user namespace");
        return false;
    }
    const rlimit limit{rlim_t(limits::pageTasks), rlim_t(limits::pageTasks)};
    if (::setrlimit(RLIMIT_NPROC, &limit) != 0) {
        *why = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    return true;
}

bool confine::filterSystemCalls(QString* why)
{
    scmp_filter_ctx filter = ::seccomp_init(SCMP_ACT_ALLOW);
    if (!filter) {
        *why = QStringLiteral("seccomp_init failed");
        return false;
    }
    // Calls that one architecture lacks are named by libseccomp all the same;
    // adding their rule fails, which is fine.
    const int refused[] = {
        SCMP_SYS(ptrace),
        SCMP_SYS(process_vm_readv),
        SCMP_SYS(process_vm_writev),
        SCMP_SYS(kcmp),
        SCMP_SYS(pidfd_getfd),
        SCMP_SYS(mount),
        SCMP_SYS(umount2),
        SCMP_SYS(pivot_root),
        SCMP_SYS(move_mount),
        SCMP_SYS(open_tree),
        SCMP_SYS(fsopen),
        SCMP_SYS(fsconfig),
        SCMP_SYS(fsmount),
        SCMP_SYS(fspick),
        SCMP_SYS(mount_setattr),
        SCMP_SYS(setns),
        SCMP_SYS(init_module),
        SCMP_SYS(finit_module),
        SCMP_SYS(delete_module),
        SCMP_SYS(kexec_load),
        SCMP_SYS(kexec_file_load),
        SCMP_SYS(bpf),
        SCMP_SYS(perf_event_open),
        SCMP_SYS(userfaultfd),
        SCMP_SYS(keyctl),
        SCMP_SYS(add_key),
        SCMP_SYS(request_key),
        SCMP_SYS(io_uring_setup),
        SCMP_SYS(io_uring_enter),
        SCMP_SYS(io_uring_register),
        SCMP_SYS(name_to_handle_at),
        SCMP_SYS(open_by_handle_at),
        SCMP_SYS(lookup_dcookie),
        SCMP_SYS(swapon),
        SCMP_SYS(swapoff),
        SCMP_SYS(reboot),
        SCMP_SYS(acct),
        SCMP_SYS(quotactl),
        SCMP_SYS(syslog),
        SCMP_SYS(settimeofday),
        SCMP_SYS(clock_settime),
        SCMP_SYS(clock_adjtime),
        SCMP_SYS(adjtimex),
        SCMP_SYS(iopl),
        SCMP_SYS(ioperm),
        SCMP_SYS(uselib),
        SCMP_SYS(vhangup),
        SCMP_SYS(fanotify_init),
    };
    bool ok = true;
    for (int call : refused) {
        ::seccomp_rule_add(filter, SCMP_ACT_ERRNO(EPERM), call, 0);
    }
    // Typing into the terminal the agent was started from.
    for (unsigned long request : {TIOCSTI, TIOCLINUX}) {
        ok = ok && ::seccomp_rule_add(filter, SCMP_ACT_ERRNO(EPERM), SCMP_SYS(ioctl), 1,
                                      SCMP_A1(SCMP_CMP_MASKED_EQ, 0xffffffffu, request)) == 0;
    }
    // Socket families: Unix (the display), IPv4 and IPv6 (the page), netlink
    // (the engine watches the network's state); none of the rest.
    for (int family = 0; family <= AF_NETLINK; ++family) {
        if (family != AF_UNIX && family != AF_INET && family != AF_INET6 && family != AF_NETLINK) {
            ok = ok && ::seccomp_rule_add(filter, SCMP_ACT_ERRNO(EAFNOSUPPORT), SCMP_SYS(socket), 1,
                                          SCMP_A0(SCMP_CMP_EQ, scmp_datum_t(family))) == 0;
        }
    }
    ok = ok && ::seccomp_rule_add(filter, SCMP_ACT_ERRNO(EAFNOSUPPORT), SCMP_SYS(socket), 1,
                                  SCMP_A0(SCMP_CMP_GT, AF_NETLINK)) == 0;
    // Loading also sets no_new_privs (libseccomp's default).
    const int loaded = ok ? ::seccomp_load(filter) : -1;
    ::seccomp_release(filter);
    if (!ok || loaded != 0) {
        *why =
            ok ? QStringLiteral("seccomp_load: ") + QString::fromLocal8Bit(std::strerror(-loaded))
               : QStringLiteral("a filter rule was refused");
        return false;
    }
    return true;
}
