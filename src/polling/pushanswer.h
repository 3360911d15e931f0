// What an answer of the push service asks the agent to do, read with no HTTP
// involved.
#pragma once

#include <QList>
#include <QString>

class Message;

/// One answer: a JSON object {"code": ..., "data": ...}.
struct PushAnswer
{
    enum Action
    {
        NotJson,          ///< not JSON: ignored without a trace
        Nothing,          ///< 800 with no message waiting
        FetchMessages,    ///< 800: messages wait; fetch them for the same client
        DeliverMessages,  ///< 801: messages, to show or queue by the client's mode
        SetFingerprint,   ///< 901: text is the client's new fingerprint
        ChangeInterval,   ///< 902: seconds is the poll interval asked for
        ChangeBaseUrl,    ///< 903: text is the new base URL (the worker takes a web URL only)
        ClearFingerprint, ///< 904
        UpdateClient,     ///< 905
        UnknownCode       ///< any other code (0 when missing or not a number)
    };

    Action action = NotJson;
    int code = 0;
    int seconds = 0;
    QString text;
    /// The messages of an 801 answer, in list order; the caller owns them.
    QList<Message*> messages;
};

/// Reads an answer body. Fields are read as text by the variant conversion (a
/// string as is, a number as its decimal text, a boolean as "true"/"false",
/// anything else as ""); "code" and integer "data" as a number or a string
/// holding one, anything else as 0, and a number past the range of int as
/// the nearer end of that range.
PushAnswer readPushAnswer(const QString& body);
