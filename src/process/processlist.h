// The one platform-specific step of the process watch: listing the ids of the
// processes that run now (see platform/zavplatform.h).
#pragma once

#include <QList>
#include <QString>

/// Ids of every running process as unsigned decimal texts (no sign, no leading
/// zeros, never "0"), in the order the system gives them. An empty list means
/// the enumeration failed: the caller must not conclude that nothing runs.
QList<QString> listProcessIds();

#ifndef Q_OS_WIN
/// The same for a proc file system mounted at procRoot: every entry whose
/// name is all decimal digits is a process id. Used by listProcessIds() with
/// "/proc".
QList<QString> listProcessIdsIn(const QString& procRoot);
#endif
