#include "urlpolicy.h"

#include <QDebug>
#include <QDesktopServices>
#include <QUrl>
#include <QUrlQuery>

namespace {

bool isMailto(const QUrl& url)
{
    return url.scheme().compare(QLatin1String("mailto"), Qt::CaseInsensitive) == 0;
}

} // namespace

bool urlpolicy::isWebUrl(const QUrl& url)
{
    const QString scheme = url.scheme().toLower();
    return url.isValid() && !url.host().isEmpty() &&
           (scheme == QLatin1String("http") || scheme == QLatin1String("https"));
}

bool urlpolicy::mayOpenExternally(const QUrl& url)
{
    return isWebUrl(url) || (url.isValid() && isMailto(url));
}

QUrl urlpolicy::keptMailto(const QUrl& url)
{
    // A '?' written encoded in the address starts parameters for some mail
    // programs all the same.
    QString address = url.path(QUrl::FullyDecoded);
    address.truncate(address.indexOf(QLatin1Char('?')) >= 0 ? address.indexOf(QLatin1Char('?'))
                                                            : address.size());
    QStringList kept;
    for (const char* name : {"subject", "body"}) {
        for (const auto& item : QUrlQuery(url).queryItems(QUrl::FullyDecoded)) {
            if (item.first.compare(QLatin1String(name), Qt::CaseInsensitive) == 0) {
                kept << QLatin1String(name) + QLatin1Char('=') +
                            QString::fromLatin1(QUrl::toPercentEncoding(item.second));
                break;
            }
        }
    }
    QUrl result;
    result.setScheme(QStringLiteral("mailto"));
    result.setPath(address, QUrl::DecodedMode);
    if (!kept.isEmpty()) {
        result.setQuery(kept.join(QLatin1Char('&')), QUrl::StrictMode);
    }
    return result;
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
    return QDesktopServices::openUrl(isMailto(url) ? keptMailto(url) : url);
}
