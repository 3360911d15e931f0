#include "pagewatch.h"

#include "message/limits.h"

#include <QDir>
#include <QFile>

#include <sys/statvfs.h>
#include <unistd.h>

namespace pagewatch {

QList<pid_t> descendants(pid_t pid, int most, bool* more)
{
    QList<pid_t> found{pid};
    bool over = false;
    for (int i = 0; i < found.size() && !over; ++i) {
        const QString tasks = QStringLiteral("/proc/%1/task").arg(found.at(i));
        for (const QString& task : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            QFile children(tasks + QLatin1Char('/') + task + QStringLiteral("/children"));
            if (!children.open(QIODevice::ReadOnly)) {
                continue;
            }
            // A list longer than this is past the bound anyway.
            for (const QByteArray& child : children.read(qint64(16) * (most + 1)).split(' ')) {
                if (child.toInt() <= 0) {
                    continue;
                }
                if (found.size() > most) {
                    over = true;
                    break;
                }
                found << pid_t(child.toInt());
            }
        }
    }
    if (more) {
        *more = over;
    }
    return found.mid(1);
}

namespace {

/// Bytes held by the memory file system at path, if it is one of its own.
qint64 filled(const QString& path)
{
    struct statvfs fs = {};
    if (::statvfs(QFile::encodeName(path).constData(), &fs) != 0) {
        return 0;
    }
    return qint64(fs.f_blocks - fs.f_bfree) * qint64(fs.f_frsize);
}

qint64 statusKb(const QByteArray& status, const char* key)
{
    const int at = status.indexOf(key);
    if (at < 0) {
        return 0;
    }
    const int from = at + int(qstrlen(key));
    return status.mid(from, 24).trimmed().split(' ').value(0).toLongLong();
}

} // namespace

Usage usage(pid_t pid, bool sandboxed)
{
    static const long tick = ::sysconf(_SC_CLK_TCK);
    Usage u;
    QList<pid_t> all = descendants(pid, limits::pageProcesses, &u.tooMany);
    // The sandbox's own /tmp and /dev/shm, seen from its first process
    // (bwrap runs the rest in a file system of their own).
    if (sandboxed && !all.isEmpty()) {
        const QString root = QStringLiteral("/proc/%1/root").arg(all.first());
        u.memory +=
            filled(root + QStringLiteral("/tmp")) + filled(root + QStringLiteral("/dev/shm"));
    }
    all.prepend(pid);
    u.processes = all.size();
    for (pid_t p : qAsConst(all)) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(p));
        if (stat.open(QIODevice::ReadOnly)) {
            const QByteArray text = stat.read(4096);
            // After the command's name, which may hold ") ": fields 14 to 17,
            // utime, stime, cutime and cstime, in clock ticks.
            const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
            qint64 ticks = 0;
            for (int field = 11; field <= 14; ++field) {
                ticks += fields.value(field).toLongLong();
            }
            u.cpuMs += ticks * 1000 / tick;
        }
        QFile status(QStringLiteral("/proc/%1/status").arg(p));
        if (status.open(QIODevice::ReadOnly)) {
            const QByteArray text = status.read(8192);
            u.memory += (statusKb(text, "RssAnon:") + statusKb(text, "RssShmem:")) * 1024;
        }
    }
    return u;
}

qint64 CpuWindow::add(qint64 nowMs, qint64 cpuMs)
{
    while (!samples.isEmpty() && samples.first().first < nowMs - limits::pageCpuWindowMs) {
        samples.removeFirst();
    }
    const qint64 used = samples.isEmpty() ? 0 : cpuMs - samples.first().second;
    samples.append({nowMs, cpuMs});
    return used;
}

} // namespace pagewatch
