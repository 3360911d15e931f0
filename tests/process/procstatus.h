// Reading a running process's /proc/<pid>/status, for tests that start the
// agent as a separate process.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

#include <csignal>

/// The value of one "Key:" line of /proc/<pid>/status, trimmed; empty when the
/// process or the line is not there.
inline QByteArray procStatusValue(qint64 pid, const QByteArray& key)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly)) {
        return {};
    }
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(key) && line.size() > key.size() && line.at(key.size()) == ':') {
            return line.mid(key.size() + 1).trimmed();
        }
    }
    return {};
}

/// Resident memory in KiB, or -1 when the process is gone.
inline qint64 rssKb(qint64 pid)
{
    const QByteArray value = procStatusValue(pid, "VmRSS");
    return value.isEmpty() ? -1 : value.split(' ').first().toLongLong();
}

/// Whether the process catches SIGTERM, from its caught-signals mask. The
/// agent installs its handler before its pipe serves.
inline bool catchesSigterm(qint64 pid)
{
    bool ok = false;
    const qulonglong mask = procStatusValue(pid, "SigCgt").toULongLong(&ok, 16);
    return ok && (mask & (1ULL << (SIGTERM - 1))) != 0;
}
