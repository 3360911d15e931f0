#include "processstamp.h"

#include "platform/zavplatform.h"

namespace {

/// The id as a number, when pid is its canonical decimal text (no sign, no
/// leading zeros, not 0); else 0.
quint64 canonicalId(const QString& pid)
{
    bool ok = false;
    const quint64 id = pid.toULongLong(&ok);
    return ok && id != 0 && QString::number(id) == pid ? id : 0;
}

static_assert(int(ProcessStamp::Unknown) == ZAV_PROCESS_UNKNOWN &&
                  int(ProcessStamp::Gone) == ZAV_PROCESS_GONE &&
                  int(ProcessStamp::Running) == ZAV_PROCESS_RUNNING &&
                  int(ProcessStamp::Zombie) == ZAV_PROCESS_ZOMBIE,
              "the states name the platform's");

} // namespace

ProcessStamp readProcessStamp(const QString& pid)
{
    const zav_stamp read = zav_read_stamp(canonicalId(pid)); // 0: gone
    ProcessStamp stamp;
    stamp.state = ProcessStamp::State(read.state);
    stamp.startTime = read.start_time;
    return stamp;
}

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
