#include "logsink.h"

#include <windows.h>

void logsink::prepareProcess() {}

void logsink::prepareWriterThread() {}

void logsink::localTime(time_t second, tm* local)
{
    _tzset();
    localtime_s(local, &second);
}

bool logsink::writeStderr(const char* data, qint64 size)
{
    // A program of the windows subsystem has a standard error only when its
    // starter gave it one (a file, a pipe): without, lines are dropped.
    const HANDLE stream = GetStdHandle(STD_ERROR_HANDLE);
    if (stream == nullptr || stream == INVALID_HANDLE_VALUE) {
        return false;
    }
    while (size > 0) {
        const DWORD part = size > (1 << 30) ? DWORD(1 << 30) : DWORD(size);
        DWORD written = 0;
        if (!WriteFile(stream, data, part, &written, nullptr) || written == 0) {
            return false;
        }
        data += written;
        size -= written;
    }
    return true;
}
