#include "core/campaign.h"

#include "core/query.h"

#include <cmath>
#include <cstdio>
#include <ctime>

namespace zp {

namespace {

bool textList(const json_t* value, const char* name, TextSet* out, std::string* reason)
{
    if (!value) {
        return true;
    }
    if (!json_is_array(value) || json_array_size(value) > CampaignLimits::maxListEntries) {
        *reason = std::string("\"") + name + "\" must be an array of at most " +
                  std::to_string(CampaignLimits::maxListEntries) + " texts";
        return false;
    }
    for (std::size_t i = 0; i < json_array_size(value); ++i) {
        const json_t* item = json_array_get(value, i);
        if (!json_is_string(item)) {
            *reason = std::string("\"") + name + "\"[" + std::to_string(i) + "] is not a text";
            return false;
        }
        out->insert(json_string_value(item));
    }
    return true;
}

bool intMember(const json_t* object, const char* name, int low, int high, int* out,
               std::string* reason)
{
    const json_t* v = json_object_get(object, name);
    if (!v) {
        return true;
    }
    if (!json_is_integer(v) || json_integer_value(v) < low || json_integer_value(v) > high) {
        *reason = std::string("\"") + name + "\" must be a whole number from " +
                  std::to_string(low) + " to " + std::to_string(high);
        return false;
    }
    *out = static_cast<int>(json_integer_value(v));
    return true;
}

uint64_t fnv1a(std::string_view text, uint64_t hash = 14695981039346656037ULL)
{
    for (const char c : text) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ULL;
    }
    return hash;
}

bool digitsOnly(std::string_view s)
{
    if (s.empty() || s.size() > 18) {
        return false;
    }
    for (const char c : s) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

} // namespace

const char* stateName(CampaignState state)
{
    switch (state) {
    case CampaignState::Draft:
        return "draft";
    case CampaignState::Active:
        return "active";
    case CampaignState::Paused:
        return "paused";
    case CampaignState::Ended:
        return "ended";
    }
    return "draft";
}

bool stateFromName(std::string_view name, CampaignState* state)
{
    for (const CampaignState s : {CampaignState::Draft, CampaignState::Active,
                                  CampaignState::Paused, CampaignState::Ended}) {
        if (name == stateName(s)) {
            *state = s;
            return true;
        }
    }
    return false;
}

bool timeFromJson(const json_t* value, int64_t* seconds)
{
    if (json_is_integer(value)) {
        *seconds = json_integer_value(value);
        return *seconds >= 0 && *seconds < 253402300800LL; // before the year 10000
    }
    if (!json_is_string(value)) {
        return false;
    }
    const std::string text = json_string_value(value);
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    char z = 0;
    int used = 0;
    if (text.size() != 20 ||
        std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c%n", &y, &mo, &d, &h, &mi, &s, &z,
                    &used) != 7 ||
        used != 20 || z != 'Z' || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 ||
        s > 60 || y < 1970) {
        return false;
    }
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    *seconds = static_cast<int64_t>(timegm(&tm));
    return *seconds >= 0;
}

std::string isoTime(int64_t seconds)
{
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

bool messageFromJson(const json_t* value, std::string* compact, int* actions, std::string* reason)
{
    if (!json_is_object(value)) {
        *reason = "\"message\" must be an object";
        return false;
    }
    for (const char* key : {"uuid", "messageForm", "title", "summary", "url", "authorName"}) {
        const json_t* v = json_object_get(value, key);
        if (v && !json_is_string(v)) {
            *reason = std::string("\"message\".\"") + key + "\" must be a text";
            return false;
        }
    }
    const json_t* settings = json_object_get(value, "settings");
    if (settings) {
        if (!json_is_object(settings)) {
            *reason = "\"message\".\"settings\" must be an object of texts";
            return false;
        }
        const char* key = nullptr;
        json_t* v = nullptr;
        json_object_foreach(const_cast<json_t*>(settings), key, v)
        {
            if (!json_is_string(v) && !json_is_integer(v)) {
                *reason =
                    "\"message\".\"settings\"." + shown(key) + " must be a text or a whole number";
                return false;
            }
        }
    }
    const json_t* list = json_object_get(value, "actions");
    *actions = 0;
    if (list) {
        if (!json_is_array(list) || json_array_size(list) > CampaignLimits::maxActions) {
            *reason = "\"message\".\"actions\" must be an array of at most " +
                      std::to_string(CampaignLimits::maxActions) + " objects";
            return false;
        }
        for (std::size_t i = 0; i < json_array_size(list); ++i) {
            const json_t* a = json_array_get(list, i);
            if (!json_is_object(a)) {
                *reason = "\"message\".\"actions\"[" + std::to_string(i) + "] is not an object";
                return false;
            }
            for (const char* key : {"id", "action", "url"}) {
                const json_t* v = json_object_get(a, key);
                if (v && !json_is_string(v)) {
                    *reason = "\"message\".\"actions\"[" + std::to_string(i) + "].\"" + key +
                              "\" must be a text";
                    return false;
                }
            }
        }
        *actions = static_cast<int>(json_array_size(list));
    }
    *compact = dumpJson(value);
    return true;
}

bool audienceFromJson(const json_t* value, Audience* audience, std::string* reason)
{
    *audience = Audience();
    if (!value) {
        return true;
    }
    if (!json_is_object(value)) {
        *reason = "\"audience\" must be an object";
        return false;
    }
    const char* key = nullptr;
    json_t* v = nullptr;
    json_object_foreach(const_cast<json_t*>(value), key, v)
    {
        const std::string k = key;
        if (k != "products" && k != "versionAtLeast" && k != "versionBelow" && k != "purchased" &&
            k != "userIds" && k != "macs" && k != "properties" && k != "percent") {
            *reason = "\"audience\" has an unknown member " + shown(k);
            return false;
        }
    }
    if (!textList(json_object_get(value, "products"), "products", &audience->products, reason) ||
        !textList(json_object_get(value, "purchased"), "purchased", &audience->purchased, reason) ||
        !textList(json_object_get(value, "userIds"), "userIds", &audience->userIds, reason) ||
        !textList(json_object_get(value, "macs"), "macs", &audience->macs, reason)) {
        return false;
    }
    for (const std::string& p : audience->purchased) {
        if (p != "Y" && p != "N" && p != "unstated") {
            *reason = "\"purchased\" takes \"Y\", \"N\" and \"unstated\", not " + shown(p);
            return false;
        }
    }
    for (const char* name : {"versionAtLeast", "versionBelow"}) {
        const json_t* bound = json_object_get(value, name);
        if (bound && (!json_is_string(bound) || json_string_length(bound) == 0)) {
            *reason = std::string("\"") + name + "\" must be a non-empty text";
            return false;
        }
    }
    audience->versionAtLeast = jsonText(value, "versionAtLeast");
    audience->versionBelow = jsonText(value, "versionBelow");
    const json_t* props = json_object_get(value, "properties");
    if (props) {
        if (!json_is_object(props) || json_object_size(props) > 64) {
            *reason = "\"properties\" must be an object of at most 64 texts";
            return false;
        }
        json_object_foreach(const_cast<json_t*>(props), key, v)
        {
            if (!json_is_string(v)) {
                *reason = "\"properties\"." + shown(key) + " must be a text";
                return false;
            }
            audience->properties[key] = json_string_value(v);
        }
    }
    const json_t* percent = json_object_get(value, "percent");
    if (percent) {
        const double p = json_number_value(percent);
        if (!json_is_number(percent) || !(p >= 0 && p <= 100)) {
            *reason = "\"percent\" must be a number from 0 to 100";
            return false;
        }
        audience->rolloutBasisPoints = static_cast<int>(std::lround(p * 100));
    }
    return true;
}

bool campaignFromJson(const json_t* object, Campaign* campaign, std::string* reason)
{
    if (!json_is_object(object)) {
        *reason = "the campaign must be a JSON object";
        return false;
    }
    const char* key = nullptr;
    json_t* v = nullptr;
    json_object_foreach(const_cast<json_t*>(object), key, v)
    {
        const std::string k = key;
        if (k != "name" && k != "message" && k != "audience" && k != "start" && k != "end" &&
            k != "priority" && k != "perMachine" && k != "state") {
            *reason = "unknown member " + shown(k);
            return false;
        }
    }
    Campaign c;
    const json_t* name = json_object_get(object, "name");
    if (name && (!json_is_string(name) || json_string_length(name) > 200)) {
        *reason = "\"name\" must be a text of at most 200 bytes";
        return false;
    }
    c.name = jsonText(object, "name");
    if (!json_object_get(object, "message")) {
        *reason = "missing \"message\"";
        return false;
    }
    if (!messageFromJson(json_object_get(object, "message"), &c.message, &c.actions, reason) ||
        !audienceFromJson(json_object_get(object, "audience"), &c.audience, reason)) {
        return false;
    }
    const json_t* audience = json_object_get(object, "audience");
    c.audienceJson = audience ? dumpJson(audience) : "{}";
    for (const auto& [field, out] : {std::pair<const char*, int64_t*>{"start", &c.starts},
                                     std::pair<const char*, int64_t*>{"end", &c.ends}}) {
        const json_t* t = json_object_get(object, field);
        if (t && !timeFromJson(t, out)) {
            *reason = std::string("\"") + field +
                      "\" must be seconds since 1970 or a time as 2026-01-31T12:00:00Z";
            return false;
        }
    }
    if (c.ends != 0 && c.ends <= c.starts) {
        *reason = "\"end\" must come after \"start\"";
        return false;
    }
    if (!intMember(object, "priority", -CampaignLimits::maxPriority, CampaignLimits::maxPriority,
                   &c.priority, reason) ||
        !intMember(object, "perMachine", 1, CampaignLimits::maxPerMachine, &c.perMachine, reason)) {
        return false;
    }
    const json_t* state = json_object_get(object, "state");
    if (state) {
        if (!json_is_string(state) || !stateFromName(json_string_value(state), &c.state) ||
            c.state == CampaignState::Paused || c.state == CampaignState::Ended) {
            *reason = "\"state\" of a new campaign is \"draft\" or \"active\"";
            return false;
        }
    }
    *campaign = c;
    return true;
}

int compareVersions(std::string_view a, std::string_view b)
{
    const auto next = [](std::string_view& s) {
        const std::size_t cut = s.find_first_of(".-_+");
        const std::string_view part = s.substr(0, cut);
        s = cut == std::string_view::npos ? std::string_view() : s.substr(cut + 1);
        return part;
    };
    while (!a.empty() || !b.empty()) {
        std::string_view pa = next(a);
        std::string_view pb = next(b);
        const bool na = pa.empty() || pa.find_first_not_of("0123456789") == std::string_view::npos;
        const bool nb = pb.empty() || pb.find_first_not_of("0123456789") == std::string_view::npos;
        if (na && nb) {
            // Numbers of any length: without leading zeros, longer is larger.
            while (pa.size() > 1 && pa.front() == '0') {
                pa.remove_prefix(1);
            }
            while (pb.size() > 1 && pb.front() == '0') {
                pb.remove_prefix(1);
            }
            if (pa.empty()) {
                pa = "0";
            }
            if (pb.empty()) {
                pb = "0";
            }
            if (pa.size() != pb.size()) {
                return pa.size() < pb.size() ? -1 : 1;
            }
        }
        const int c = pa.compare(pb);
        if (c != 0) {
            return c < 0 ? -1 : 1;
        }
    }
    return 0;
}

int rolloutSlot(int64_t campaignId, std::string_view mac, std::string_view product)
{
    uint64_t h = fnv1a(std::to_string(campaignId));
    h = fnv1a(":", h);
    h = fnv1a(mac, h);
    h = fnv1a(":", h);
    h = fnv1a(product, h);
    return static_cast<int>(h % 10000);
}

bool matches(const Campaign& campaign, const MachineRef& m)
{
    const Audience& a = campaign.audience;
    if (!a.products.empty() && a.products.count(m.product) == 0) {
        return false;
    }
    if (!a.versionAtLeast.empty() &&
        (m.version.empty() || compareVersions(m.version, a.versionAtLeast) < 0)) {
        return false;
    }
    if (!a.versionBelow.empty() &&
        (m.version.empty() || compareVersions(m.version, a.versionBelow) >= 0)) {
        return false;
    }
    if (!a.purchased.empty() &&
        a.purchased.count(m.purchased.empty() ? std::string_view("unstated") : m.purchased) == 0) {
        return false;
    }
    if (!a.userIds.empty() && a.userIds.count(m.userId) == 0) {
        return false;
    }
    if (!a.macs.empty() && a.macs.count(m.mac) == 0) {
        return false;
    }
    if (!a.properties.empty()) {
        const std::map<std::string, std::string> props = splitProperties(m.properties);
        for (const auto& [key, value] : a.properties) {
            const auto it = props.find(key);
            if (it == props.end() || it->second != value) {
                return false;
            }
        }
    }
    return a.rolloutBasisPoints >= 10000 ||
           rolloutSlot(campaign.id, m.mac, m.product) < a.rolloutBasisPoints;
}

Json messageFor(const Campaign& campaign, int64_t machineId)
{
    Json message(json_loadb(campaign.message.data(), campaign.message.size(), 0, nullptr));
    if (!json_is_object(message.get())) {
        return Json(json_object());
    }
    if (jsonText(message.get(), "uuid").empty()) {
        json_object_set_new(message.get(), "uuid",
                            json_string(("campaign-" + std::to_string(campaign.id)).c_str()));
    }
    json_t* actions = json_object_get(message.get(), "actions");
    for (std::size_t i = 0; json_is_array(actions) && i < json_array_size(actions); ++i) {
        json_t* action = json_array_get(actions, i);
        if (json_is_object(action)) {
            const std::string id = "c" + std::to_string(campaign.id) + "-m" +
                                   std::to_string(machineId) + "-a" + std::to_string(i);
            json_object_set_new(action, "id", json_string(id.c_str()));
        }
    }
    return message;
}

bool readActionId(std::string_view id, int64_t* campaign, int64_t* machine, int* action)
{
    if (id.size() > 64 || id.empty() || id.front() != 'c') {
        return false;
    }
    const std::size_t m = id.find("-m");
    const std::size_t a = id.find("-a");
    if (m == std::string_view::npos || a == std::string_view::npos || a < m) {
        return false;
    }
    const std::string_view c = id.substr(1, m - 1);
    const std::string_view mm = id.substr(m + 2, a - m - 2);
    const std::string_view aa = id.substr(a + 2);
    if (!digitsOnly(c) || !digitsOnly(mm) || !digitsOnly(aa) || aa.size() > 3) {
        return false;
    }
    *campaign = std::stoll(std::string(c));
    *machine = std::stoll(std::string(mm));
    *action = std::stoi(std::string(aa));
    return true;
}

} // namespace zp
