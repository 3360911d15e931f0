#include "pipereply.h"

#include <QJsonDocument>
#include <QJsonParseError>

#include <cstring>

void PipeReply::add(const QByteArray& piece)
{
    text += piece;
    if (state == Empty && !text.isEmpty()) {
        state = text.at(0) == '[' ? List : Whole;
        isList = state == List;
    }
    if (!isList || state == Broken) {
        return;
    }
    const char* data = text.constData();
    if (state == Whole) {
        // Only JSON's blanks may follow a whole list.
        for (; scanned < text.size(); ++scanned) {
            if (!strchr(" \t\n\r", data[scanned]) || data[scanned] == '\0') {
                state = Broken;
                return;
            }
        }
        return;
    }
    for (; scanned < text.size() && depth >= 0; ++scanned) {
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
        } else if ((c == ']' || c == '}') && --depth == 0) {
            depth = -1; // closed: looked at no further
        }
    }
    if (depth >= 0) {
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
