// Reading JSON text without Qt 5's repeated-key leak.
#pragma once

#include <QByteArray>
#include <QJsonDocument>

/// Reads a JSON document like QJsonDocument::fromJson, but never lets Qt 5's
/// parser drop an object member: for a repeated key it drops the earlier
/// member and leaks its value when that is an object or an array (about 150
/// bytes each), so any peer of the pipe or any push answer could make the
/// agent grow.
///
/// Differences from QJsonDocument::fromJson, all deliberate:
/// - where an object repeats a key, the last member wins (Qt keeps one of the
///   repeats, not always the last, once an object has more than 16 members);
/// - keys that differ only after a raw NUL byte, or by a raw U+FFFD against an
///   escaped lone surrogate, are different keys (Qt takes them for one);
/// - the offset of a parse error may count a few more bytes than the text
///   has, where the text repeats a key.
///
/// With maxArrayElements at 1 or more, every array is read up to that many
/// elements: the rest of it is skipped unread (a fault there goes unseen),
/// so what it holds costs nothing; *cut, if given, says whether any was.
QJsonDocument parseJson(const QByteArray& json, QJsonParseError* error = nullptr,
                        int maxArrayElements = 0, bool* cut = nullptr);

/// The two texts that parseJson hands the parser.
struct ParserTexts
{
    /// The document to read: every member removed whose key appears again
    /// later in the same object. Objects that close before a syntax fault
    /// count too, since the parser drops their repeats before it fails.
    QByteArray read;
    /// When a key repeats: the whole text with every such key made unique,
    /// parsed first only to find any syntax fault that a removed member held.
    /// Empty when no key repeats.
    QByteArray check;
    /// Whether the end of some array was skipped (maxArrayElements).
    bool cut = false;
};

/// Prepares a text for the parser. In keys, a raw NUL byte is written as the
/// escape "\u0000" and a raw U+FFFD as "\ufffd": the same characters, but
/// compared by the parser in full and as written. Keys are compared after
/// their escapes are decoded, as the parser decodes them. Arrays keep at most
/// maxArrayElements elements (0: all) in both texts.
ParserTexts prepareForParser(const QByteArray& json, int maxArrayElements = 0);
