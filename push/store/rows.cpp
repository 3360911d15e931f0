// The helpers of store/rows.h.
#include "store/rows.h"

#include <sys/random.h>

#include <chrono>
#include <cstring>

namespace zp::sql {

extern const char* const machineColumns;
const char* const machineColumns =
    "SELECT id, mac, product, user_id, version, purchased, properties, fingerprint, last_seen, "
    "told_interval, told_base, direct_waiting FROM machines ";

int64_t num(const std::optional<std::string>& v)
{
    return v ? std::strtoll(v->c_str(), nullptr, 10) : 0;
}

std::string text(const std::optional<std::string>& v)
{
    return v ? *v : std::string();
}

Machine machineFrom(const Row& r)
{
    Machine m;
    m.id = num(r[0]);
    m.mac = text(r[1]);
    m.product = text(r[2]);
    m.userId = text(r[3]);
    m.version = text(r[4]);
    m.purchased = text(r[5]);
    m.properties = text(r[6]);
    m.fingerprint = text(r[7]);
    m.lastSeen = num(r[8]);
    m.toldInterval = num(r[9]);
    m.toldBase = text(r[10]);
    m.directWaiting = num(r[11]);
    return m;
}

int64_t steadyMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string randomHex(std::size_t bytes)
{
    std::vector<unsigned char> raw(bytes);
    std::size_t got = 0;
    while (got < bytes) {
        const ssize_t n = getrandom(raw.data() + got, bytes - got, 0);
        if (n <= 0) {
            break;
        }
        got += std::size_t(n);
    }
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (const unsigned char c : raw) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string codeAnswer(int code, const std::string& dataJson)
{
    return "{\"code\":" + std::to_string(code) + ",\"data\":" + dataJson + "}\n";
}

std::string quoted(const std::string& s)
{
    Json v(json_stringn(s.data(), s.size()));
    return v ? dumpJson(v.get()) : std::string("\"\"");
}

bool campaignFromRow(const Row& r, Campaign* c)
{
    c->id = num(r[0]);
    c->name = text(r[1]);
    c->message = text(r[2]);
    c->audienceJson = text(r[3]);
    c->starts = num(r[4]);
    c->ends = num(r[5]);
    c->priority = int(num(r[6]));
    c->perMachine = int(num(r[7]));
    stateFromName(text(r[8]), &c->state);
    c->actions = int(num(r[9]));
    std::string reason;
    const Json audience = parseJson(c->audienceJson, &reason);
    return audience && audienceFromJson(audience.get(), &c->audience, &reason);
}

extern const char* const campaignColumns;
const char* const campaignColumns =
    "SELECT id, name, message, audience, starts, ends, priority, per_machine, state, actions, "
    "created, updated FROM campaigns ";

Json campaignJson(const Row& r, bool whole)
{
    Json o(json_object());
    json_object_set_new(o.get(), "id", json_integer(num(r[0])));
    json_object_set_new(o.get(), "name", json_string(text(r[1]).c_str()));
    json_object_set_new(o.get(), "state", json_string(text(r[8]).c_str()));
    json_object_set_new(o.get(), "start",
                        num(r[4]) ? json_string(isoTime(num(r[4])).c_str()) : json_null());
    json_object_set_new(o.get(), "end",
                        num(r[5]) ? json_string(isoTime(num(r[5])).c_str()) : json_null());
    json_object_set_new(o.get(), "priority", json_integer(num(r[6])));
    json_object_set_new(o.get(), "perMachine", json_integer(num(r[7])));
    json_object_set_new(o.get(), "created", json_string(isoTime(num(r[10])).c_str()));
    json_object_set_new(o.get(), "updated", json_string(isoTime(num(r[11])).c_str()));
    if (whole) {
        json_object_set_new(o.get(), "message",
                            json_loadb(text(r[2]).data(), text(r[2]).size(), 0, nullptr));
        json_object_set_new(o.get(), "audience",
                            json_loadb(text(r[3]).data(), text(r[3]).size(), 0, nullptr));
    }
    return o;
}

Answer jsonAnswer(const Json& value, int status)
{
    Answer a;
    a.status = status;
    a.body = dumpJson(value.get()) + "\n";
    return a;
}

} // namespace zp::sql
