// Direct messages to one machine, and the fleet's settings (interval, base
// URL, fingerprints).
#include "store/store.h"

#include "store/rows.h"

namespace zp {

using namespace sql;

Answer PushStore::sendDirect(const std::string& body, int64_t now)
{
    std::string reason;
    const Json doc = parseJson(body, &reason);
    if (!doc) {
        return bad(400, "body is " + reason);
    }
    if (!json_is_object(doc.get())) {
        return bad(400, "body must be a JSON object");
    }
    const json_t* to = json_object_get(doc.get(), "to");
    const std::string fingerprint = jsonText(to, "fingerprint");
    const std::string mac = jsonText(to, "mac");
    const std::string product = jsonText(to, "product");
    if (!json_is_object(to) || (fingerprint.empty() && (mac.empty() || product.empty()))) {
        return bad(400, R"(give "to": {"mac":"...","product":"..."} or {"fingerprint":"..."})");
    }
    std::vector<std::string> messages;
    const json_t* one = json_object_get(doc.get(), "message");
    const json_t* many = json_object_get(doc.get(), "messages");
    int actions = 0;
    if (one) {
        messages.emplace_back();
        if (!messageFromJson(one, &messages.back(), &actions, &reason)) {
            return bad(400, reason);
        }
    } else if (json_is_array(many) && json_array_size(many) > 0 && json_array_size(many) <= 100) {
        for (std::size_t i = 0; i < json_array_size(many); ++i) {
            messages.emplace_back();
            if (!messageFromJson(json_array_get(many, i), &messages.back(), &actions, &reason)) {
                return bad(400, "\"messages\"[" + std::to_string(i) + "]: " + reason);
            }
        }
    } else {
        return bad(400, R"(give "message" (an object) or "messages" (1 to 100 objects))");
    }
    std::string why;
    DbPool::Lease db = pool.take(&why);
    if (!db) {
        return unavailable(why);
    }
    Transaction t(*db, true);
    Rows rows;
    DbStatus s = t.status();
    if (s == DbStatus::Ok && fingerprint.empty()) {
        s = db->run("INSERT INTO machines (mac, product, first_seen, last_seen) VALUES ($1, $2, "
                    "0, 0) ON CONFLICT (mac, product) DO NOTHING",
                    {mac, product}, nullptr);
    }
    if (s == DbStatus::Ok) {
        s = fingerprint.empty()
                ? db->run("SELECT id, fingerprint FROM machines WHERE mac = $1 AND product = $2",
                          {mac, product}, &rows)
                : db->run("SELECT id, fingerprint FROM machines WHERE fingerprint = $1",
                          {fingerprint}, &rows);
    }
    if (s != DbStatus::Ok) {
        return unavailable(db->error());
    }
    if (rows.empty()) {
        return bad(404, "no machine has the fingerprint " + shown(fingerprint));
    }
    const int64_t machine = num(rows[0][0]);
    for (const std::string& m : messages) {
        if (db->run("INSERT INTO direct_messages (machine_id, message, created) VALUES ($1, $2, "
                    "$3)",
                    {machine, m, now}, nullptr) != DbStatus::Ok) {
            return unavailable(db->error());
        }
    }
    const std::string print = text(rows[0][1]);
    if (db->run("UPDATE machines SET direct_waiting = direct_waiting + $1 WHERE id = $2",
                {int64_t(messages.size()), machine}, nullptr) != DbStatus::Ok ||
        noteChange(*db, machine, print, now) != DbStatus::Ok || t.commit() != DbStatus::Ok) {
        return unavailable(db->error());
    }
    if (detectView && !print.empty()) {
        detectView->drop(print);
    }
    Json o(json_object());
    json_object_set_new(o.get(), "queued", json_integer(json_int_t(messages.size())));
    json_object_set_new(o.get(), "machine", json_integer(machine));
    return jsonAnswer(o);
}

Answer PushStore::settings()
{
    std::string why;
    DbPool::Lease db = pool.take(&why);
    if (!db) {
        return unavailable(why);
    }
    std::shared_ptr<const Snapshot> snap;
    if (snapshot(*db, 0, &snap) != DbStatus::Ok) {
        return unavailable(db->error());
    }
    Json o(json_object());
    json_object_set_new(o.get(), "interval", json_integer(snap->interval));
    json_object_set_new(o.get(), "baseUrl", json_string(snap->baseUrl.c_str()));
    json_object_set_new(o.get(), "fingerprints", json_string(snap->fingerprints ? "on" : "off"));
    return jsonAnswer(o);
}

Answer PushStore::changeSettings(const std::string& body)
{
    std::string reason;
    const Json doc = parseJson(body, &reason);
    if (!doc || !json_is_object(doc.get())) {
        return bad(400, doc ? "body must be a JSON object" : "body is " + reason);
    }
    std::vector<std::pair<std::string, std::string>> changes;
    const char* key = nullptr;
    json_t* v = nullptr;
    json_object_foreach(doc.get(), key, v)
    {
        const std::string k = key;
        if (k == "interval") {
            if (!json_is_integer(v) || json_integer_value(v) < 0 || json_integer_value(v) > 14400) {
                return bad(400, "\"interval\" must be seconds from 1 to 14400, or 0 for none");
            }
            changes.emplace_back(k, std::to_string(json_integer_value(v)));
        } else if (k == "baseUrl") {
            const std::string url = json_is_string(v) ? json_string_value(v) : "?";
            if (!url.empty() && url.rfind("http://", 0) != 0 && url.rfind("https://", 0) != 0) {
                return bad(400, "\"baseUrl\" must be an http:// or https:// URL, or empty");
            }
            if (!url.empty() && url.back() == '/') {
                return bad(400, "\"baseUrl\" ends without a slash (the agent adds paths to it)");
            }
            changes.emplace_back(k, url);
        } else if (k == "fingerprints") {
            const std::string on = json_is_string(v) ? json_string_value(v) : "";
            if (on != "on" && on != "off") {
                return bad(400, "\"fingerprints\" is \"on\" or \"off\"");
            }
            changes.emplace_back(k, on);
        } else {
            return bad(400, "unknown setting " + shown(k) + " (interval, baseUrl, fingerprints)");
        }
    }
    {
        std::string why;
        DbPool::Lease db = pool.take(&why);
        if (!db) {
            return unavailable(why);
        }
        Transaction t(*db, true);
        DbStatus s = t.status();
        for (const auto& [k, value] : changes) {
            if (s == DbStatus::Ok) {
                s = db->run("UPDATE settings SET value = $1 WHERE key = $2", {value, k}, nullptr);
            }
        }
        if (s != DbStatus::Ok || bumpRevision(*db) != DbStatus::Ok || t.commit() != DbStatus::Ok) {
            return unavailable(db->error());
        }
    }
    forget();
    return settings();
}

} // namespace zp
