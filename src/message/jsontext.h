// Reading JSON text without Qt 5's repeated-key leak.
#pragma once

#include <QByteArray>
#include <QJsonDocument>

/// Reads a JSON document as QJsonDocument::fromJson does, with the same
/// result: where an object repeats a key, the last member wins.
///
/// Qt 5.15's parser leaks the members it drops for a repeated key when their
/// value is an object or an array (about 150 bytes each), so any peer of the
/// pipe or any push answer could make the agent grow. The repeated members
/// are therefore cut from the text before the parser sees it.
QJsonDocument parseJson(const QByteArray& json, QJsonParseError* error = nullptr);

/// The text as the parser should see it:
/// - every object member is removed whose key appears again later in the same
///   object (keys compared after their escapes are decoded). Objects that
///   close before a broken string or bracket count too, since the parser
///   drops their repeats before it fails;
/// - a raw NUL byte inside a string is written as the escape "\u0000", which
///   means the same character. Unescaped, the parser compares keys only up to
///   the first NUL, so {"a\0x":{},"a\0y":1} would lose (and leak) the first
///   member although its key differs.
/// Returns the text itself when there is nothing to change.
QByteArray safeForParser(const QByteArray& json);
