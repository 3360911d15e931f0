// Fuzzes the client text reader, Client(QString): the argument of "REGISTER:"
// that any local process can send over the pipe.
//
// Invariants: never crashes; writing a client and reading the text back
// reproduces every written member (after one normalising round, since the
// reader drops what the writer never produces).
#include "core/clientpool.h"
#include "fuzzcommon.h"

namespace {

bool sameWrittenMembers(const Client& a, const Client& b)
{
    return a.uid == b.uid && a.mac == b.mac && a.product == b.product && a.ukey == b.ukey &&
           a.productVersion == b.productVersion && a.purchase == b.purchase && a.pid == b.pid &&
           a.handle == b.handle && a.properties == b.properties;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The pipe decodes what it reads as UTF-8, so that is what the reader sees.
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), int(size));
    Client first(text);
    fuzz::check(first.fingerprint.isEmpty() && first.messages.isEmpty(),
                "a client text set fingerprint or messages");

    const QString written = first.toJson();
    Client second(written);
    const QString rewritten = second.toJson();
    Client third(rewritten);
    fuzz::check(sameWrittenMembers(second, third), "client text round trip changed a member");
    fuzz::check(rewritten == third.toJson(), "client text writer is not stable");
    return 0;
}
