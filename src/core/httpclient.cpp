#include "httpclient.h"

#include <QDebug>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

HttpClient::HttpClient(QObject* parent)
    : QObject(parent), manager(new QNetworkAccessManager(this)),
      contexts(new QMap<QNetworkReply*, QObject*>())
{
    connect(manager, &QNetworkAccessManager::finished, this, &HttpClient::onReply);
}

HttpClient::~HttpClient()
{
    delete contexts;
}

void HttpClient::get(const QString& url, QObject* context)
{
    QNetworkRequest request(QUrl(url, QUrl::TolerantMode));
    QNetworkReply* reply = manager->get(request);
    if (context) {
        contexts->insert(reply, context);
        if (context->parent() == this) {
            ownedContexts.insert(reply);
        }
    }
}

void HttpClient::onReply(QNetworkReply* reply)
{
    QObject* context = contexts->take(reply);
    if (reply->error() != QNetworkReply::NoError) {
        qDebug() << "error";
        emit onError(QStringLiteral("error"));
    } else {
        emit onComplete(QString::fromUtf8(reply->readAll()), context);
    }
    if (ownedContexts.remove(reply)) {
        context->deleteLater();
    }
    reply->deleteLater();
}
