// Fuzzes the page view's channel as the agent reads it: raw bytes from a page
// view that may have been taken over, split into frames by pageframe::Reader
// (the first byte of the input sets the size of the pieces they arrive in),
// each frame's fields read as texts and numbers in the order the input's
// frame type gives.
//
// Invariants: never crashes or leaks; a frame is never longer than the
// channel allows; a broken channel yields nothing more; fields read back
// through a Writer give the same frame.
#include "fuzzcommon.h"
#include "message/pageframe.h"

using namespace pageframe;

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) {
        return 0;
    }
    const int piece = 1 + data[0] % 64;
    const QByteArray stream(reinterpret_cast<const char*>(data) + 1, int(size) - 1);
    Reader reader;
    Frame frame;
    for (int at = 0; at < stream.size(); at += piece) {
        reader.add(stream.mid(at, piece));
        while (reader.next(&frame)) {
            fuzz::check(!reader.broken(), "a frame from a broken channel");
            fuzz::check(frame.fields.size() < limits::maxPageFrame,
                        "a frame longer than the channel allows");
            // Bit i of the type: field i is a text, else a number.
            Fields fields(frame.fields);
            Writer again(Type(frame.type));
            for (int i = 0; i < 8 && !fields.ok(); ++i) {
                if (frame.type >> i & 1) {
                    const QString text = fields.text();
                    again.text(text);
                    // Invalid UTF-8 reads as replacement characters, which
                    // write back as other bytes; a text the writer cuts, too.
                    if (text.contains(QChar::ReplacementCharacter) ||
                        text.size() > limits::maxPageText) {
                        return 0;
                    }
                } else {
                    again.number(fields.number());
                }
            }
            if (fields.ok()) {
                const QByteArray whole = again.frame();
                fuzz::check(whole.mid(5) == frame.fields, "fields written back differ");
            }
        }
    }
    if (reader.broken()) {
        reader.add(QByteArray(16, '\0'));
        fuzz::check(!reader.next(&frame), "a broken channel yielded a frame");
    }
    return 0;
}
