#include "globals.h"

#include <QFile>
#include <QMutexLocker>
#include <QtGlobal>

#ifndef ZAV_PUSH_BASE_URL
#define ZAV_PUSH_BASE_URL "http://127.0.0.1:8360/push"
#endif

const QString PROTOCOL_VERSION = QStringLiteral("20150910");
const QString PIPE_NAME = QStringLiteral("zav_msg_ipc_pipe");

GuardedString baseUrl(QStringLiteral(ZAV_PUSH_BASE_URL));
int pollInterval = 60;

QString GuardedString::get() const
{
    QMutexLocker lock(&mutex);
    return value;
}

void GuardedString::set(const QString& text)
{
    QMutexLocker lock(&mutex);
    value = text;
}

void installMessagePattern()
{
#ifdef Q_OS_LINUX
    // Every time stamp converts to local time, and with TZ unset glibc then
    // checks /etc/localtime anew: three stat() calls per debug line, a third
    // of a pipe round trip. Naming the same zone file explicitly lets it keep
    // what it has read. A change of the system's zone is then picked up at the
    // next start, not while running.
    if (!qEnvironmentVariableIsSet("TZ") && QFile::exists(QStringLiteral("/etc/localtime"))) {
        qputenv("TZ", ":/etc/localtime");
    }
#endif
    qSetMessagePattern(
        QStringLiteral("%{time hh:mm:ss.zzz} %{file}:%{line} %{function}: %{message}"));
}

// The close-button images are registered before main() runs, like any
// statically built resource bundle; this file is always linked because it
// defines the process-wide objects.
static int registerResources()
{
    Q_INIT_RESOURCE(resources);
    return 1;
}
static const int resourcesRegistered = registerResources();
