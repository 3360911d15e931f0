#include "logging.h"

#include <QFile>
#include <QString>
#include <QtGlobal>

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
