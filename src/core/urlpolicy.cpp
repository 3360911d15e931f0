#include "urlpolicy.h"

#include <QDebug>
#include <QDesktopServices>
#include <QUrl>

bool urlpolicy::isWebUrl(const QUrl& url)
{
    const QString scheme = url.scheme().toLower();
    return url.isValid() && !url.host().isEmpty() &&
           (scheme == QLatin1String("http") || scheme == QLatin1String("https"));
}

bool urlpolicy::mayOpenExternally(const QUrl& url)
{
    return isWebUrl(url) || (url.isValid() && url.scheme().compare(QLatin1String("mailto"),
                                                                   Qt::CaseInsensitive) == 0);
}

bool urlpolicy::openExternally(const QUrl& url, const char* what)
{
    if (url.isEmpty()) {
        return false;
    }
    if (!mayOpenExternally(url)) {
        const QString scheme = url.scheme().isEmpty() ? QStringLiteral("(none)") : url.scheme();
        qDebug().noquote().nospace() << what << " not opened, scheme " << scheme
                                     << ": only http and https (with a host) and mailto open";
        return false;
    }
    return QDesktopServices::openUrl(url);
}
