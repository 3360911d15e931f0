// How a reader of the pipe knows that a reply has fully arrived.
#pragma once

#include <QByteArray>

/// Follows one reply of the pipe as it arrives, in pieces, and tells when it
/// is whole. Replies carry no length: every reply but the message list of
/// "GetMessage:" is whole once anything has arrived, and that list once it
/// parses as JSON. Each byte is looked at once (the list is parsed once, when
/// its outer brackets close), so a reply that arrives in many pieces costs
/// time in proportion to its length.
class PipeReply
{
public:
    /// Takes the next piece of the reply.
    void add(const QByteArray& piece);
    /// Whether the reply taken so far is whole.
    bool isWhole() const { return state == Whole; }
    /// Everything taken so far.
    const QByteArray& bytes() const { return text; }

private:
    enum State
    {
        Empty,
        List,   // a list whose outer brackets are still open
        Whole,  // complete
        Broken, // a list that closed but does not parse: never whole
    };

    QByteArray text;
    State state = Empty;
    int scanned = 0; // bytes of text looked at
    int depth = 0;   // open brackets and braces outside strings; -1 once closed
    bool isList = false;
    bool inString = false;
    bool escaped = false;
};

/// Whether a reply read so far is whole (see PipeReply).
bool isWholeReply(const QByteArray& reply);
