// A plain HTTP GET whose answer comes back with a context object given by the
// caller, so that one receiver can serve many requests without bookkeeping.
#pragma once

#include "message/limits.h"

#include <QByteArray>
#include <QHash>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QString>

class QTcpSocket;

/// HTTP/1.1 over a socket of its own per request, read in the client's
/// thread: every answer is bounded there (status line and header section,
/// chunk-size lines, the body; see message/limits.h), and a request past its
/// time is closed there, so that nothing keeps reading after it is abandoned.
class HttpClient : public QObject
{
    Q_OBJECT

public:
    /// Every request ends after timeLimitMs, answered or not (a silent or
    /// trickling service must never hold its caller).
    explicit HttpClient(QObject* parent, int timeLimitMs = limits::requestTimeoutMs);
    ~HttpClient() override;

    /// Starts a GET and returns at once. The URL text is parsed tolerantly and
    /// sent as built; anything but an http or https URL fails without a
    /// request. The answer is asked for without compression and is never
    /// inflated, so its size on the wire is its size. Redirects are not
    /// followed. context comes back with the answer; a context whose parent
    /// is this HttpClient belongs to the request and is deleted once the
    /// request has ended (answered, failed, or abandoned with the client).
    void get(const QString& url, QObject* context = nullptr);

signals:
    /// The request ended with a status below 400; content is the body as UTF-8.
    void onComplete(QString content, QObject* context = nullptr);
    /// The request failed, timed out, was answered with a status of 400 or
    /// more, or its answer was past a limit; error is always "error".
    void onError(QString error);

private:
    /// What is known of one answer while it is read.
    struct Reading;

    void readAnswer(QTcpSocket* socket);
    /// Ends a request: emits its outcome, forgets it, closes its socket.
    void onReply(QTcpSocket* socket, bool ok);

    QMap<QTcpSocket*, QObject*>* contexts = nullptr;
    /// Requests whose context is a child of this client, to be deleted with the request.
    QSet<QTcpSocket*> ownedContexts;
    QHash<QTcpSocket*, Reading*> readings;
    const int timeLimitMs;
};
