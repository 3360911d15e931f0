// The channel between the agent and its page view program (one per page
// popup): small frames over a private socket pair.
//
// A frame is the length of what follows (4 bytes, big endian), its type (one
// byte) and its fields in the order its type gives: numbers as 4 bytes (signed,
// big endian), texts as their length in bytes (4 bytes) and their UTF-8. Both
// sides treat what arrives as untrusted: a frame longer than limits::maxPageFrame breaks
// the channel, a frame whose fields do not read is dropped.
#pragma once

#include "message/limits.h"

#include <QByteArray>
#include <QString>

namespace pageframe {

enum Type : quint8
{
    // The agent to the page view.
    /// url, sender, x, y, width, height, edges, area's x, y, width, height:
    /// show this page as a popup there; edges other than 0: as a layer
    /// surface anchored at those edges (Qt::Edges) of the area
    Open = 1,
    Place = 2, ///< x, y: the popup's top-left corner moves there
    Ping = 3,  ///< n: answer with Pong n

    // The page view to the agent.
    Ready = 16,        ///< the popup is on the screen, at the place Open gave
    Loaded = 17,       ///< ok (1 or 0): the page has finished loading
    Link = 18,         ///< url: the user clicked a link to it; the agent decides what opens
    CloseClicked = 19, ///< the user clicked the popup's close button
    Dragged = 20,      ///< x, y: the user dragged the popup there
    Hover = 21,        ///< in (1 or 0): the pointer came over the popup or left it
    Pong = 22,         ///< n: the answer to Ping n
    Gone = 23,         ///< why: the page view is ending by itself
};

/// Builds one frame, field by field.
class Writer
{
public:
    explicit Writer(Type type);
    Writer& number(qint32 value);
    /// Cut to limits::maxPageText (never inside a surrogate pair).
    Writer& text(const QString& value);
    /// The frame with its length in front.
    QByteArray frame() const;

private:
    QByteArray body;
};

/// One frame as it arrived: its type and its fields, unread.
struct Frame
{
    quint8 type = 0;
    QByteArray fields;
};

/// Splits the bytes that arrive on the channel into frames.
class Reader
{
public:
    /// Takes the next bytes that arrived.
    void add(const QByteArray& bytes);
    /// The next whole frame; false when none is whole yet or the channel is
    /// broken.
    bool next(Frame* frame);
    /// Whether a frame announced a length of 0 or over limits::maxPageFrame: nothing more
    /// is read from the channel.
    bool broken() const { return isBroken; }

private:
    QByteArray pending;
    int start = 0; ///< where the next frame begins in pending
    bool isBroken = false;
};

/// Reads the fields of one frame in order. A field that is not there whole
/// reads as 0 or empty, and ok() is false from then on.
class Fields
{
public:
    explicit Fields(const QByteArray& fields) : data(fields) {}
    qint32 number();
    QString text();
    /// Whether every field read so far was whole and nothing is left after
    /// the last one read.
    bool ok() const { return good && at == data.size(); }

private:
    QByteArray data;
    int at = 0;
    bool good = true;
};

} // namespace pageframe
