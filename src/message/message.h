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

    /// Appends an action, its label cut to limits::maxLabelLength, unless the
    /// message has limits::maxActions of them already (then false, and
    /// nothing is built).
    bool addAction(const QString& id, const QString& label, const QString& url);
    /// Sets a setting unless the message has limits::maxSettings others
    /// already (then false).
    bool setSetting(const QString& name, const QString& value);
    /// Writes one debug line about the actions and settings a reader dropped
    /// (none: nothing).
    void reportDropped(int actions, int settings) const;

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
