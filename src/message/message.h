// A notification and its action buttons, and their JSON form on the pipe.
#pragma once

#include <QList>
#include <QMap>
#include <QObject>
#include <QString>

class MessageAction;

/// One notification. Created without a parent; exactly one owner at a time
/// (a popup window, a client's queue, or whoever holds it in between).
/// Its actions are its QObject children and go with it.
class Message : public QObject
{
    Q_OBJECT

public:
    explicit Message(QObject* parent = nullptr);

    /// The array text that "GetMessage:" replies: compact JSON, members in
    /// key order, settings as [{"key","value"}]. Changes nothing.
    static QString listToJson(const QList<Message*>& messages);
    /// A new message (never null, no parent) from the object text that
    /// "PopupMessage:" carries. The form is read from "messageFrom"; "uuid"
    /// is not read. Bad or mistyped input gives empty fields.
    static Message* fromJson(const QString& json);

    QString uuid;
    QString messageForm;
    QString title;
    QString summary;
    QString url;
    QString authorName;
    QMap<QString, QString> settings;
    QList<MessageAction*> actions;
};

/// One button of a message.
class MessageAction : public QObject
{
    Q_OBJECT

public:
    explicit MessageAction(QObject* parent = nullptr);

    QString id;
    QString action; ///< the button's label
    QString url;
};
