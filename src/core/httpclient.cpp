#include "httpclient.h"

#include "urlpolicy.h"

#include <QDebug>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
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
    const QUrl target(url, QUrl::TolerantMode);
    if (!urlpolicy::isWebUrl(target)) {
        // A file: or other local URL would be read in this thread, and a FIFO
        // would block it for good.
        qDebug().noquote() << "not requested, not an http or https URL:" << url.left(200);
        QTimer::singleShot(0, this, [this, context] {
            if (context && context->parent() == this) {
                delete context;
            }
            qDebug() << "error";
            emit onError(QStringLiteral("error"));
        });
        return;
    }
    QNetworkRequest request(target);
    // Without this the network layer inflates compressed answers by itself,
    // with no limit: a small answer could take all memory.
    request.setRawHeader("Accept-Encoding", "identity");
    QNetworkReply* reply = manager->get(request);
    connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 received, qint64 total) {
        if (received > maxAnswerBytes || total > maxAnswerBytes) {
            qDebug() << "answer larger than" << maxAnswerBytes << "bytes, abandoned";
            reply->abort();
        }
    });
    QTimer::singleShot(transferTimeoutMs, reply, [reply] {
        if (reply->isRunning()) {
            qDebug() << "no complete answer within" << transferTimeoutMs / 1000 << "s, abandoned";
            reply->abort();
        }
    });
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
