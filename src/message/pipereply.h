// How a reader of the pipe knows that a reply has fully arrived.
#pragma once

#include <QByteArray>

/// Whether a reply read so far is whole. Replies carry no length: every reply
/// but the message list of "GetMessage:" is whole once anything has arrived,
/// and that list once it parses as JSON.
bool isWholeReply(const QByteArray& reply);
