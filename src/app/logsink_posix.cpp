#include "logsink.h"

#include <QFile>

#include <cerrno>
#include <csignal>
#include <pthread.h>
#include <unistd.h>

void logsink::prepareProcess()
{
    // A time stamp converts to local time (once a second, or for every line
    // with a pattern of the user's), and with TZ unset glibc then checks
    // /etc/localtime anew: three stat() calls each time. Naming the same zone
    // file explicitly lets it keep what it has read. A change of the system's
    // zone is then picked up at the next start, not while running.
    if (!qEnvironmentVariableIsSet("TZ") && QFile::exists(QStringLiteral("/etc/localtime"))) {
        qputenv("TZ", ":/etc/localtime");
    }
}

void logsink::prepareWriterThread()
{
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
}

void logsink::localTime(time_t second, tm* local)
{
    ::tzset(); // as the toolkit does before each conversion
    ::localtime_r(&second, local);
}

bool logsink::writeStderr(const char* data, qint64 size)
{
    while (size > 0) {
        const ssize_t n = ::write(STDERR_FILENO, data, size_t(size));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += n;
        size -= n;
    }
    return true;
}
