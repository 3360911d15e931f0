#include "processlist.h"

#include <QDebug>
#include <QtGlobal>

#ifdef Q_OS_WIN

// EnumProcesses from kernel32 (K32EnumProcesses): no extra import library.
#ifndef PSAPI_VERSION
#define PSAPI_VERSION 2
#endif
#include <windows.h>
// windows.h first: psapi.h needs its types.
#include <psapi.h>

QList<QString> listProcessIds()
{
    qDebug() << "win32 planform";
    // Room for 1024 ids; when more processes run, only the first 1024 listed
    // are seen and a host beyond them counts as ended.
    DWORD ids[1024];
    DWORD filled = 0;
    if (!EnumProcesses(ids, sizeof(ids), &filled)) {
        qDebug() << "invoke enum processes error.";
        return {};
    }
    QList<QString> result;
    const DWORD count = filled / sizeof(DWORD);
    result.reserve(int(count));
    for (DWORD i = 0; i < count; ++i) {
        if (ids[i] != 0) {
            result.append(QString::number(quint32(ids[i])));
        }
    }
    return result;
}

#else

#include <QFile>

#include <dirent.h>
#include <limits>

namespace {

/// The canonical decimal text of an all-digit name, or a null text when the
/// name is not one (empty, other characters, too large) or is zero.
QString processIdText(const char* name)
{
    quint64 value = 0;
    const char* p = name;
    if (*p == '\0') {
        return {};
    }
    for (; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') {
            return {};
        }
        const quint64 digit = quint64(*p - '0');
        if (value > (std::numeric_limits<quint64>::max() - digit) / 10) {
            return {};
        }
        value = value * 10 + digit;
    }
    if (value == 0) {
        return {};
    }
    return QString::number(value);
}

} // namespace

QList<QString> listProcessIdsIn(const QString& procRoot)
{
    DIR* dir = opendir(QFile::encodeName(procRoot).constData());
    if (dir == nullptr) {
        qDebug() << "invoke enum processes error.";
        return {};
    }
    QList<QString> result;
    while (const dirent* entry = readdir(dir)) {
        const QString id = processIdText(entry->d_name);
        if (!id.isNull()) {
            result.append(id);
        }
    }
    closedir(dir);
    return result;
}

QList<QString> listProcessIds()
{
    return listProcessIdsIn(QStringLiteral("/proc"));
}

#endif
