// One registered host-product instance (a client): its identity, its
// handling mode and its message queue, and its text form on the pipe.
#pragma once

#include <QList>
#include <QMap>
#include <QObject>
#include <QString>

class Message;

/// One running instance of a host product. Built from the command line or
/// from its client text (the argument of "REGISTER:"). A QObject without a
/// meta-object of its own, so that it can be the context of a request.
class Client : public QObject
{
public:
    /// From an argument vector: entry 0 is the program, entry argc a null
    /// pointer. Options come in name/value pairs; unknown names are skipped.
    Client(int argc, char* argv[]);
    /// From a client text; text that is not a JSON object gives the defaults.
    explicit Client(const QString& json);
    /// Deletes the messages still queued.
    ~Client() override;

    /// The client text: compact JSON, members in key order, UTF-8.
    QString toJson() const;

    QString uid;
    QString mac;
    QString product;
    QString ukey;
    QString productVersion;
    QString purchase;
    QString pid;
    QMap<QString, QString> properties;
    QString handle = QStringLiteral("auto");
    QString fingerprint;
    /// Queued messages for a "customize" host; owned by the client. Touched
    /// only under the pool's mutex once the client is pooled.
    QList<Message*> messages;

    /// Identity given by the pool when the client is added; never reused
    /// within a process. 0 while the client is not pooled.
    quint64 serial = 0;

private:
    void parseProperties(const QString& text);
};
