// Fuzzes zav-push's query reader (readTarget, splitProperties): a request
// target as an agent, or anyone, may send it.
//
// Invariants: an accepted target gives a path and fields that are valid
// UTF-8 and within the value bound; a refused one gives a one-line reason;
// the properties never exceed their count bound.
#include "core/query.h"
#include "fuzzcheck.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string target(reinterpret_cast<const char*>(data), size);
    std::string path;
    zp::AgentQuery query;
    std::string reason;
    if (!zp::readTarget(target, &path, &query, &reason)) {
        if (reason.empty() || reason.find('\n') != std::string::npos) {
            fuzz::fail("a refusal without a one-line reason");
        }
        return 0;
    }
    for (const std::string* field :
         {&path, &query.fingerprint, &query.userId, &query.mac, &query.product, &query.ukey,
          &query.version, &query.purchased, &query.properties, &query.id}) {
        if (!zp::validUtf8(*field)) {
            fuzz::fail("an accepted field is not UTF-8");
        }
        if (field != &path && field->size() > zp::QueryLimits::maxValue) {
            fuzz::fail("an accepted field over the bound");
        }
    }
    if (zp::splitProperties(query.properties).size() > zp::QueryLimits::maxProperties) {
        fuzz::fail("more properties than the bound");
    }
    return 0;
}
