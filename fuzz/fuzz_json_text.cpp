// Fuzzes parseJson, the guard every JSON reader of the agent goes through,
// on raw bytes.
//
// Invariants: never crashes, frees everything (the parser loses a member's
// value when it drops one for a repeated key, so a key the guard and the
// parser compare differently shows up as a leak); a prepared text needs no
// further preparing; a document is read only when the checking text, which
// keeps every member, parses too.
#include "fuzzcommon.h"
#include "message/jsontext.h"

#include <QJsonDocument>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray text(reinterpret_cast<const char*>(data), int(size));
    QJsonParseError error{};
    const QJsonDocument doc = parseJson(text, &error);
    fuzz::check((error.error == QJsonParseError::NoError) != doc.isNull(),
                "a document and an error at once, or neither");

    const ParserTexts texts = prepareForParser(text);
    const ParserTexts again = prepareForParser(texts.read);
    fuzz::check(again.check.isEmpty(), "a key still repeats in the prepared text");
    fuzz::check(again.read == texts.read, "preparing twice changed the text");

    // Arrays cut to a cap are whole: preparing again cuts nothing more.
    const int cap = size > 0 ? 1 + data[0] % 4 : 1;
    const ParserTexts capped = prepareForParser(text, cap);
    const ParserTexts recut = prepareForParser(capped.read, cap);
    fuzz::check(!recut.cut && recut.read == capped.read, "a cut array was cut again");
    return 0;
}
