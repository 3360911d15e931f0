// A plain HTTP GET whose answer comes back with a context object given by the
// caller, so that one receiver can serve many requests without bookkeeping.
#pragma once

#include <QMap>
#include <QObject>
#include <QSet>
#include <QString>

class QNetworkAccessManager;
class QNetworkReply;

class HttpClient : public QObject
{
    Q_OBJECT

public:
    explicit HttpClient(QObject* parent);
    ~HttpClient() override;

    /// Starts a GET and returns at once. The URL text is parsed tolerantly and
    /// sent as built. context comes back with the answer; a context whose
    /// parent is this HttpClient belongs to the request and is deleted once
    /// the request has ended (answered, failed, or abandoned with the client).
    void get(const QString& url, QObject* context = nullptr);

signals:
    /// The request ended without a network error; content is the body as UTF-8.
    void onComplete(QString content, QObject* context = nullptr);
    /// The request failed; error is always "error".
    void onError(QString error);

private slots:
    void onReply(QNetworkReply* reply);

private:
    QNetworkAccessManager* manager = nullptr;
    QMap<QNetworkReply*, QObject*>* contexts = nullptr;
    /// Requests whose context is a child of this client, to be deleted with the request.
    QSet<QNetworkReply*> ownedContexts;
};
