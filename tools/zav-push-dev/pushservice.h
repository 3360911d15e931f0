// The state of the development push service: message queues per client key,
// raw answers waiting to be served, and the action reports received. Every
// operation answers with an HTTP status and a body and never fails otherwise.
#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QString>

#include <mutex>

struct Reply
{
    int status = 200;
    QByteArray body;
    QByteArray contentType = "application/json";
};

class PushService
{
public:
    using Params = QMap<QString, QString>;

    /// GET .../detect: a raw answer if one waits, else 800 with the number of
    /// messages waiting for the client that the query describes.
    Reply detect(const Params& query);
    /// GET .../message: a raw answer if one waits, else 801 with the waiting
    /// messages, which are then gone.
    Reply fetch(const Params& query);
    /// GET .../action?id=: recorded, answered with code 0.
    Reply action(const Params& query);

    /// POST /admin/messages: {"to": "all" | {"mac","product"} | {"fingerprint"},
    /// "message": {...}} or "messages": [{...}, ...].
    Reply addMessages(const QByteArray& body);
    /// POST /admin/next[?status=N]: the body is served as is to the next
    /// detect or message request, with status N (default 200).
    Reply queueRaw(const QByteArray& body, const QString& status);
    /// GET /admin/actions: the action reports received so far.
    Reply actions();
    /// GET /admin/queues: waiting messages per client key, fingerprints, raw answers.
    Reply queues();

    /// Loads a file holding one /admin/messages body or an array of them.
    /// Returns an empty text, or the reason why nothing was loaded.
    QString load(const QString& path);

    /// Appended to by every request, for the service's log.
    static QString describe(const Params& query);

private:
    struct Raw
    {
        int status;
        QByteArray body;
    };

    QString keyOf(const Params& query) const;
    bool takeRaw(const QString& key, Reply& reply);
    int waiting(const QString& key) const;
    QString add(const QJsonObject& request, int* count);

    mutable std::mutex mutex;
    QMap<QString, QList<QJsonObject>> perClient;
    QList<QJsonObject> broadcast;            ///< messages for "all"
    QMap<QString, int> broadcastSeen;        ///< key -> how many of broadcast it has had
    QMap<QString, QString> fingerprintOwner; ///< fingerprint handed out -> key
    QList<Raw> raw;
    QJsonArray reports;
};
