#include "processstamp.h"

#include <QByteArray>
#include <QList>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <QFile>
#endif

namespace {

/// The id as a number, when pid is its canonical decimal text (no sign, no
/// leading zeros, not 0); else 0.
quint64 canonicalId(const QString& pid)
{
    bool ok = false;
    const quint64 id = pid.toULongLong(&ok);
    return ok && id != 0 && QString::number(id) == pid ? id : 0;
}

} // namespace

#ifdef Q_OS_WIN

ProcessStamp readProcessStamp(const QString& pid)
{
    ProcessStamp stamp;
    const quint64 id = canonicalId(pid);
    if (id == 0 || id > 0xffffffffu) {
        stamp.state = ProcessStamp::Gone;
        return stamp;
    }
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, DWORD(id));
    if (!process) {
        // No such process; anything else (no access) cannot be told.
        if (GetLastError() == ERROR_INVALID_PARAMETER) {
            stamp.state = ProcessStamp::Gone;
        }
        return stamp;
    }
    FILETIME creation{}, exit{}, kernel{}, user{};
    DWORD code = 0;
    if (GetProcessTimes(process, &creation, &exit, &kernel, &user) &&
        GetExitCodeProcess(process, &code)) {
        // An ended process whose handle someone still holds keeps its id.
        stamp.state = code == STILL_ACTIVE ? ProcessStamp::Running : ProcessStamp::Zombie;
        stamp.startTime = (quint64(creation.dwHighDateTime) << 32) | creation.dwLowDateTime;
    }
    CloseHandle(process);
    return stamp;
}

#else

ProcessStamp readProcessStamp(const QString& pid)
{
    ProcessStamp stamp;
    const quint64 id = canonicalId(pid);
    if (id == 0) {
        stamp.state = ProcessStamp::Gone;
        return stamp;
    }
    QFile file(QStringLiteral("/proc/%1/stat").arg(id));
    if (!file.open(QIODevice::ReadOnly)) {
        stamp.state = file.exists() ? ProcessStamp::Unknown : ProcessStamp::Gone;
        return stamp;
    }
    // "pid (command) state ppid ...": the command may hold blanks and
    // parentheses itself, so the fields are counted from the last ')'.
    const QByteArray line = file.read(4096);
    const int close = line.lastIndexOf(')');
    const QList<QByteArray> fields = line.mid(close + 1).simplified().split(' ');
    if (close < 0 || fields.size() < 20) {
        return stamp; // unreadable: only the pid counts
    }
    // fields[0] is field 3 (the state), fields[19] field 22 (the start time).
    const char state = fields.at(0).isEmpty() ? '?' : fields.at(0).at(0);
    stamp.state = state == 'Z' || state == 'X' ? ProcessStamp::Zombie : ProcessStamp::Running;
    stamp.startTime = fields.at(19).toULongLong();
    return stamp;
}

#endif

bool hasDeparted(const ProcessStamp& then, const ProcessStamp& now)
{
    if (then.state == ProcessStamp::Zombie || now.state == ProcessStamp::Zombie) {
        return true;
    }
    if (now.state != ProcessStamp::Running) {
        return false; // gone or not known: the process list decides
    }
    if (then.state == ProcessStamp::Gone) {
        return true; // a process came to a pid that had none
    }
    return then.state == ProcessStamp::Running && then.startTime != now.startTime;
}
