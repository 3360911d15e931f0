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
    // The network layer reads ahead only this far; the body is taken in
    // pieces, so that no more than the cap is ever held.
    reply->setReadBufferSize(64 * 1024);
    bodies.insert(reply, QByteArray());
    const auto tooLarge = [reply](qint64 size) {
        if (size <= maxAnswerBytes) {
            return false;
        }
        qDebug() << "answer larger than" << maxAnswerBytes << "bytes, abandoned";
        reply->abort();
        return true;
    };
    connect(reply, &QNetworkReply::metaDataChanged, reply, [reply, tooLarge] {
        tooLarge(reply->header(QNetworkRequest::ContentLengthHeader).toLongLong());
    });
    connect(reply, &QIODevice::readyRead, this, [this, reply, tooLarge] {
        QByteArray& body = bodies[reply];
        if (!tooLarge(body.size() + reply->bytesAvailable())) {
            body += reply->readAll();
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
    QByteArray body = bodies.take(reply);
    if (reply->error() != QNetworkReply::NoError) {
        qDebug() << "error";
        emit onError(QStringLiteral("error"));
    } else {
        body += reply->readAll();
        QString content = QString::fromUtf8(body);
        body = QByteArray();
        emit onComplete(content, context);
    }
    if (ownedContexts.remove(reply)) {
        context->deleteLater();
    }
    reply->deleteLater();
}
