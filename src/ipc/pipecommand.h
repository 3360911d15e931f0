// The pipe's command table: what each command does and what it answers, with
// no socket involved.
#pragma once

#include "core/clientpool.h"

#include <QList>
#include <QString>

class Message;

/// The outcome of one command.
struct PipeAnswer
{
    /// The text to send back; empty when the reply is the message list below.
    QString reply;
    /// For "PopupMessage:", the message to show (never null then); the caller
    /// owns it. Null for every other command.
    Message* popup = nullptr;
    /// For "GetMessage:" of a client with queued messages: its whole queue, in
    /// order, taken out of the pool. The reply is their JSON array
    /// (Message::listToJson). The caller owns them until it has sent them all,
    /// then deletes them; if they cannot be delivered it hands them back to
    /// `from` with ClientPool::giveBack(), so that none is lost.
    QList<Message*> messages;
    ClientRef from;
};

/// Runs one command against pool. Commands, matched case-sensitively in this
/// order (the argument is everything after the prefix, untrimmed):
///   "Hello"                    -> "OK"
///   "REGISTER:" + client text  -> "OK"; the client is pooled, replacing one
///                                 with the same pid
///   "PopupMessage:" + JSON     -> "OK"; the message is handed out in popup
///   "GetMessage:" + pid        -> the client's queue as a JSON array, which
///                                 empties it ("[]", or the queue handed out
///                                 in messages); "0" for an unknown pid
///   "MessageCount:" + pid      -> the queue's length; "0" for an unknown pid
///   anything else              -> "ERROR: can not hanlde command"
PipeAnswer answerCommand(const QString& command, ClientPool& pool);

/// The whole reply text of an answer; the messages of a "GetMessage:" list
/// are written out and deleted.
QString takeReplyText(PipeAnswer& answer);
