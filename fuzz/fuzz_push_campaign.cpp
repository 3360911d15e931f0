// Fuzzes zav-push's campaign reader: the admin's JSON (parseJson,
// campaignFromJson), then the message as it would be served to a machine
// (messageFor) and the action ids it carries (readActionId).
//
// Invariants: a refused campaign has a one-line reason; an accepted one has a
// message that parses again as an object with at most the action bound, and
// each served action id reads back as this campaign, machine and index.
#include "core/campaign.h"
#include "fuzzcheck.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::string reason;
    zp::Campaign campaign;
    const zp::Json doc = zp::parseJson(text, &reason);
    if (!doc || !zp::campaignFromJson(doc.get(), &campaign, &reason)) {
        if (reason.empty() || reason.find('\n') != std::string::npos) {
            fuzz::fail("a refusal without a one-line reason");
        }
        return 0;
    }
    campaign.id = 42;
    const zp::Json served = zp::messageFor(campaign, 7);
    if (!json_is_object(served.get())) {
        fuzz::fail("the served message is not an object");
    }
    const json_t* actions = json_object_get(served.get(), "actions");
    if (json_array_size(actions) > zp::CampaignLimits::maxActions) {
        fuzz::fail("more actions than the bound");
    }
    for (std::size_t i = 0; i < json_array_size(actions); ++i) {
        int64_t c = 0;
        int64_t m = 0;
        int a = 0;
        if (!zp::readActionId(zp::jsonText(json_array_get(actions, i), "id"), &c, &m, &a) ||
            c != 42 || m != 7 || a != int(i)) {
            fuzz::fail("a served action id does not read back");
        }
    }
    zp::Machine machine;
    machine.mac = "M";
    machine.product = "P";
    machine.version = "2.1";
    machine.properties = "a:1,b:2";
    (void)zp::matches(campaign, machine);
    return 0;
}
