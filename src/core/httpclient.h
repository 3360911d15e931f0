// A plain HTTP GET whose answer comes back with a context object given by the
// caller, so that one receiver can serve many requests without bookkeeping.
#pragma once

#include <QByteArray>
#include <QHash>
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
    /// An answer body larger than this is abandoned as an error: the push
    /// service's biggest message lists fit many times over.
    static constexpr qint64 maxAnswerBytes = 16 * 1024 * 1024;
    /// A request that has not ended this long after get() is abandoned as an
    /// error, whether it is still waiting for a connection, for an answer or
    /// for the rest of one.
    static constexpr int transferTimeoutMs = 30 * 1000;

    explicit HttpClient(QObject* parent);
    ~HttpClient() override;

    /// Starts a GET and returns at once. The URL text is parsed tolerantly and
    /// sent as built; anything but an http or https URL fails without a
    /// request. The answer is asked for without compression, so its size on
    /// the wire is its size. context comes back with the answer; a context
    /// whose parent is this HttpClient belongs to the request and is deleted
    /// once the request has ended (answered, failed, or abandoned with the
    /// client).
    void get(const QString& url, QObject* context = nullptr);

signals:
    /// The request ended without a network error; content is the body as UTF-8.
    void onComplete(QString content, QObject* context = nullptr);
    /// The request failed, timed out or its answer was too large; error is
    /// always "error".
    void onError(QString error);

private slots:
    void onReply(QNetworkReply* reply);

private:
    QNetworkAccessManager* manager = nullptr;
    QMap<QNetworkReply*, QObject*>* contexts = nullptr;
    /// Requests whose context is a child of this client, to be deleted with the request.
    QSet<QNetworkReply*> ownedContexts;
    /// The body read so far of each request in flight.
    QHash<QNetworkReply*, QByteArray> bodies;
};
