#include "ipc/pipepath.h"

#include "platform/zavplatform.h"

#include <QDeadlineTimer>
#include <QLocalSocket>

bool connectToPipe(QLocalSocket* socket, const QString& path, int timeoutMs)
{
    // The socket's own connect waits up to 5 s for a busy pipe, whatever the
    // time-out: the pipe is opened here, within it.
    const QDeadlineTimer deadline(timeoutMs);
    const auto name = reinterpret_cast<const wchar_t*>(path.utf16());
    HANDLE pipe = INVALID_HANDLE_VALUE;
    for (;;) {
        pipe = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
        const qint64 left = deadline.remainingTime();
        if (pipe != INVALID_HANDLE_VALUE || GetLastError() != ERROR_PIPE_BUSY || left <= 0 ||
            !WaitNamedPipeW(name, DWORD(left))) {
            break;
        }
    }
    if (pipe == INVALID_HANDLE_VALUE) {
        return false;
    }
    if (!zav_pipe_server_is_user(reinterpret_cast<intptr_t>(pipe)) ||
        !socket->setSocketDescriptor(reinterpret_cast<qintptr>(pipe))) {
        CloseHandle(pipe);
        return false;
    }
    return true;
}
