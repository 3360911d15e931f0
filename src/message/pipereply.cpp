#include "pipereply.h"

#include <QJsonDocument>
#include <QJsonParseError>

void PipeReply::add(const QByteArray& piece)
{
    text += piece;
    if (state == Empty && !text.isEmpty()) {
        state = text.at(0) == '[' ? List : Whole;
    }
    if (state != List) {
        return;
    }
    const char* data = text.constData();
    for (; scanned < text.size(); ++scanned) {
        const char c = data[scanned];
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
            }
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            ++depth;
        } else if (c == ']' || c == '}') {
            if (--depth == 0) {
                ++scanned;
                break;
            }
        }
    }
    if (depth > 0) {
        return;
    }
    // The outer brackets have closed: one parse says whether it is JSON.
    QJsonParseError error{};
    QJsonDocument::fromJson(text, &error);
    state = error.error == QJsonParseError::NoError ? Whole : Broken;
}

bool isWholeReply(const QByteArray& reply)
{
    PipeReply tracker;
    tracker.add(reply);
    return tracker.isWhole();
}
