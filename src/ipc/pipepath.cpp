#include "pipepath.h"

#include "platform/zavplatform.h"

#include <QFile>

QString pipePath(QString* why)
{
    char path[4096];
    char reason[1024];
    if (zav_pipe_path(path, sizeof path, reason, sizeof reason) != 0) {
        if (why) {
            *why = QString::fromLocal8Bit(reason);
        }
        return {};
    }
    return QFile::decodeName(path);
}
