#include "globals.h"

#include <QMutexLocker>

const QString PROTOCOL_VERSION = QStringLiteral("20150910");

// initialPushBaseUrl is constant-initialised, so it is set before this runs.
GuardedString baseUrl(QString::fromUtf8(initialPushBaseUrl));
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
