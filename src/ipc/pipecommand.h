// The pipe's command table: what each command does and what it answers, with
// no socket involved.
#pragma once

#include <QString>

class ClientPool;
class Message;

/// The outcome of one command.
struct PipeAnswer
{
    /// The text to send back.
    QString reply;
    /// For "PopupMessage:", the message to show (never null then); the caller
    /// owns it. Null for every other command.
    Message* popup = nullptr;
};

/// Runs one command against pool. Commands, matched case-sensitively in this
/// order (the argument is everything after the prefix, untrimmed):
///   "Hello"                    -> "OK"
///   "REGISTER:" + client text  -> "OK"; the client is pooled, replacing one
///                                 with the same pid
///   "PopupMessage:" + JSON     -> "OK"; the message is handed out in popup
///   "GetMessage:" + pid        -> the client's queue as a JSON array, which
///                                 empties it; "0" for an unknown pid
///   "MessageCount:" + pid      -> the queue's length; "0" for an unknown pid
///   anything else              -> "ERROR: can not hanlde command"
PipeAnswer answerCommand(const QString& command, ClientPool& pool);
