#include "processlist.h"

#include "platform/zavplatform.h"

#include <QDebug>
#include <QFile>

#include <cstdlib>

namespace {

/// The ids as decimal texts; frees them.
QList<QString> texts(int listed, uint64_t* ids, size_t count)
{
    if (listed != 0) {
        qDebug() << "invoke enum processes error.";
        return {};
    }
    QList<QString> result;
    result.reserve(int(count));
    for (size_t i = 0; i < count; ++i) {
        result.append(QString::number(ids[i]));
    }
    std::free(ids);
    return result;
}

} // namespace

QList<QString> listProcessIds()
{
#ifdef Q_OS_WIN
    qDebug() << "win32 planform";
#endif
    uint64_t* ids = nullptr;
    size_t count = 0;
    const int listed = zav_process_ids(&ids, &count);
    return texts(listed, ids, count);
}

#ifndef Q_OS_WIN
QList<QString> listProcessIdsIn(const QString& procRoot)
{
    uint64_t* ids = nullptr;
    size_t count = 0;
    const int listed = zav_process_ids_in(QFile::encodeName(procRoot).constData(), &ids, &count);
    return texts(listed, ids, count);
}
#endif
