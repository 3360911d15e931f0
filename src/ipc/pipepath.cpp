#include "pipepath.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

const QString PIPE_NAME = QStringLiteral("zav_msg_ipc_pipe");

QString pipePath(QString* why)
{
    const QByteArray runtimeDir = qgetenv("XDG_RUNTIME_DIR");
    if (!runtimeDir.isEmpty()) {
        return QFile::decodeName(runtimeDir) + QLatin1Char('/') + PIPE_NAME;
    }

    const uid_t uid = ::getuid();
    const QString dir = QDir::tempPath() + QStringLiteral("/zav-msg-") + QString::number(uid);
    const QByteArray nativeDir = QFile::encodeName(dir);
    const auto refuse = [&why, &dir](const QString& reason) {
        if (why) {
            *why = dir + QStringLiteral(": ") + reason;
        }
        return QString();
    };

    if (::mkdir(nativeDir.constData(), 0700) != 0 && errno != EEXIST) {
        return refuse(QStringLiteral("cannot create it: ") + qt_error_string(errno));
    }
    struct stat st
    {
    };
    if (::lstat(nativeDir.constData(), &st) != 0) {
        return refuse(QStringLiteral("cannot read its status: ") + qt_error_string(errno));
    }
    if (!S_ISDIR(st.st_mode)) {
        return refuse(QStringLiteral("not a directory"));
    }
    if (st.st_uid != uid) {
        return refuse(QStringLiteral("owned by uid %1, not %2").arg(st.st_uid).arg(uid));
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return refuse(QStringLiteral("writable by group or others (mode %1)")
                          .arg(st.st_mode & 07777, 4, 8, QLatin1Char('0')));
    }
    return dir + QLatin1Char('/') + PIPE_NAME;
}
