#include "actionreport.h"

#include "core/globals.h"
#include "core/httpclient.h"

#include <QUrl>

void actionreport::send(const QString& id, QObject* owner)
{
    auto* client = new HttpClient(owner);
    QObject::connect(client, qOverload<QString, QObject*>(&HttpClient::onComplete), client,
                     &QObject::deleteLater);
    QObject::connect(client, &HttpClient::onError, client, &QObject::deleteLater);
    client->get(baseUrl.get() + QStringLiteral("/channel/polling/action?id=") +
                QString::fromLatin1(QUrl::toPercentEncoding(id)));
}
