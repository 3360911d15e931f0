#include "store/store.h"

#include "store/schema.h"

#include <openssl/evp.h>
#include <sys/random.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>

namespace zp {

namespace {

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

Answer jsonAnswer(const Json& value, int status = 200)
{
    Answer a;
    a.status = status;
    a.body = dumpJson(value.get()) + "\n";
    return a;
}

} // namespace

namespace {
std::atomic<uint64_t> stores{0};

/// A thread's own copy of its store's snapshot, read without a lock.
struct ThreadSnapshot
{
    uint64_t store = 0;
    uint64_t epoch = 0;
    std::shared_ptr<const Snapshot> snap;
};
thread_local ThreadSnapshot mine;
} // namespace

PushStore::PushStore(std::string url, std::size_t connections)
    : pool(std::move(url), connections), id(++stores)
{
}

Answer PushStore::unavailable(const std::string& why)
{
    Answer a;
    a.status = 503;
    std::string line = why;
    for (char& c : line) {
        if (c == '\n' || c == '\t' || c == '\r') {
            c = ' '; // one line: PostgreSQL's messages have several
        }
    }
    a.body = "store unavailable: " + line + "\n";
    a.type = "text/plain; charset=utf-8";
    return a;
}

Answer PushStore::bad(int status, const std::string& reason)
{
    Answer a;
    a.status = status;
    a.body = reason + "\n";
    a.type = "text/plain; charset=utf-8";
    return a;
}

std::string PushStore::sha256(const std::string& value)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(value.data(), value.size(), digest, &length, EVP_sha256(), nullptr);
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < length; ++i) {
        out += digits[digest[i] >> 4];
        out += digits[digest[i] & 15];
    }
    return out;
}

int PushStore::migrate(std::string* reason)
{
    DbPool::Lease db = pool.take(reason);
    if (!db) {
        return -1;
    }
    return zp::migrate(*db, reason);
}

DbStatus PushStore::bumpRevision(Db& db)
{
    // Text in both stores: the new value is computed by the statement.
    return db.run("UPDATE settings SET value = CAST(CAST(value AS BIGINT) + 1 AS TEXT) "
                  "WHERE key = 'revision'",
                  {}, nullptr);
}

void PushStore::forget()
{
    std::lock_guard<std::mutex> lock(cacheMutex);
    cache.reset();
    ++epoch;
}

DbStatus PushStore::snapshot(Db& db, int64_t maxAgeMs, std::shared_ptr<const Snapshot>* out)
{
    const int64_t now = steadyMs();
    const uint64_t seen = epoch.load();
    if (mine.store == id && mine.epoch == seen && mine.snap && now - mine.snap->readAt < maxAgeMs) {
        *out = mine.snap;
        return DbStatus::Ok;
    }
    std::shared_ptr<const Snapshot> current;
    {
        std::lock_guard<std::mutex> lock(cacheMutex);
        current = cache;
    }
    if (current && now - current->readAt < maxAgeMs) {
        mine = {id, seen, current};
        *out = current;
        return DbStatus::Ok;
    }
    Rows rows;
    DbStatus s = db.run("SELECT value FROM settings WHERE key = 'revision'", {}, &rows);
    if (s != DbStatus::Ok) {
        return s;
    }
    const int64_t revision = rows.empty() ? 0 : num(rows[0][0]);
    auto next = std::make_shared<Snapshot>();
    if (current && current->revision == revision) {
        *next = *current;
    } else {
        next->revision = revision;
        if ((s = db.run("SELECT key, value FROM settings", {}, &rows)) != DbStatus::Ok) {
            return s;
        }
        for (const Row& r : rows) {
            const std::string key = text(r[0]);
            if (key == "interval") {
                next->interval = num(r[1]);
            } else if (key == "baseUrl") {
                next->baseUrl = text(r[1]);
            } else if (key == "fingerprints") {
                next->fingerprints = text(r[1]) != "off";
            }
        }
        if ((s = db.run(std::string(campaignColumns) +
                            "WHERE state = 'active' ORDER BY priority DESC, id",
                        {}, &rows)) != DbStatus::Ok) {
            return s;
        }
        for (const Row& r : rows) {
            Campaign c;
            if (campaignFromRow(r, &c)) {
                next->campaigns.push_back(std::move(c));
            }
        }
        for (std::size_t i = 0; i < next->campaigns.size(); ++i) {
            const Audience& a = next->campaigns[i].audience;
            if (a.products.empty()) {
                next->anyProduct.push_back(i);
            }
            for (const std::string& product : a.products) {
                next->byProduct[product].push_back(i);
            }
        }
    }
    next->readAt = now;
    {
        std::lock_guard<std::mutex> lock(cacheMutex);
        if (!cache || cache->readAt <= next->readAt) {
            cache = next;
        }
    }
    mine = {id, seen, next};
    *out = std::move(next);
    return DbStatus::Ok;
}

DbStatus PushStore::resolve(Db& db, const AgentQuery& q, int64_t now, Resolved* out)
{
    Rows rows;
    DbStatus s = DbStatus::Ok;
    out->byFingerprint = !q.fingerprint.empty();
    if (out->byFingerprint) {
        // The machine and its deliveries so far in one statement: the
        // steady state of a fleet, asked for most.
        static const std::string sqlite =
            std::string(machineColumns, std::strlen(machineColumns) - 14) +
            ", (SELECT group_concat(campaign_id || ':' || n) FROM (SELECT campaign_id, COUNT(*) "
            "AS n FROM deliveries WHERE machine_id = machines.id GROUP BY campaign_id)) FROM "
            "machines WHERE fingerprint = $1";
        static const std::string postgres =
            std::string(machineColumns, std::strlen(machineColumns) - 14) +
            ", (SELECT string_agg(campaign_id || ':' || n, ',') FROM (SELECT campaign_id, "
            "COUNT(*) AS n FROM deliveries WHERE machine_id = machines.id GROUP BY campaign_id) "
            "AS d) FROM machines WHERE fingerprint = $1";
        s = db.run(db.kind() == Db::Kind::Sqlite ? sqlite : postgres, {q.fingerprint}, &rows);
        if (s != DbStatus::Ok) {
            return s;
        }
        out->known = !rows.empty();
        if (out->known) {
            out->machine = machineFrom(rows[0]);
            out->haveHad = true;
            const std::string list = text(rows[0][12]);
            for (std::size_t at = 0; at < list.size();) {
                const std::size_t comma = std::min(list.find(',', at), list.size());
                const std::size_t colon = list.find(':', at);
                if (colon < comma) {
                    out->had.emplace_back(std::strtoll(list.c_str() + at, nullptr, 10),
                                          std::strtoll(list.c_str() + colon + 1, nullptr, 10));
                }
                at = comma + 1;
            }
            if (now - out->machine.lastSeen >= seenGranularity) {
                s = db.run("UPDATE machines SET last_seen = $1 WHERE id = $2",
                           {now, out->machine.id}, nullptr);
            }
        }
        return s;
    }
    const std::string select = std::string(machineColumns) + "WHERE mac = $1 AND product = $2";
    if ((s = db.run(select, {q.mac, q.product}, &rows)) != DbStatus::Ok) {
        return s;
    }
    if (rows.empty()) {
        s = db.run("INSERT INTO machines (mac, product, user_id, version, purchased, properties, "
                   "first_seen, last_seen) VALUES ($1, $2, $3, $4, $5, $6, $7, $7) "
                   "ON CONFLICT (mac, product) DO NOTHING",
                   {q.mac, q.product, q.userId, q.version, q.purchased, q.properties, now},
                   nullptr);
        if (s != DbStatus::Ok || (s = db.run(select, {q.mac, q.product}, &rows)) != DbStatus::Ok) {
            return s;
        }
        if (rows.empty()) {
            return DbStatus::Failed;
        }
    }
    out->known = true;
    out->machine = machineFrom(rows[0]);
    Machine& m = out->machine;
    if (m.userId != q.userId || m.version != q.version || m.purchased != q.purchased ||
        m.properties != q.properties) {
        s = db.run("UPDATE machines SET user_id = $1, version = $2, purchased = $3, "
                   "properties = $4, last_seen = $5 WHERE id = $6",
                   {q.userId, q.version, q.purchased, q.properties, now, m.id}, nullptr);
        m.userId = q.userId;
        m.version = q.version;
        m.purchased = q.purchased;
        m.properties = q.properties;
    } else if (now - m.lastSeen >= seenGranularity) {
        s = db.run("UPDATE machines SET last_seen = $1 WHERE id = $2", {now, m.id}, nullptr);
    }
    return s;
}

Answer PushStore::detect(const AgentQuery& query, int64_t now)
{
    if (query.fingerprint.empty() && (query.mac.empty() || query.product.empty())) {
        return {200, codeAnswer(800, "0")}; // nobody to count for
    }
    std::string why;
    DbPool::Lease db = pool.take(&why);
    if (!db) {
        return unavailable(why);
    }
    std::shared_ptr<const Snapshot> snap;
    Resolved r;
    DbStatus s = snapshot(*db, cacheMs, &snap);
    if (s == DbStatus::Ok) {
        s = resolve(*db, query, now, &r);
    }
    if (s != DbStatus::Ok) {
        return unavailable(db->error());
    }
    if (!r.known) {
        return {200, codeAnswer(904, "null")}; // the full query again
    }
    Machine& m = r.machine;
    // The fleet's controls first, each told once to each machine.
    if (!snap->baseUrl.empty() && m.toldBase != snap->baseUrl) {
        s = db->run("UPDATE machines SET told_base = $1 WHERE id = $2", {snap->baseUrl, m.id},
                    nullptr);
        return s == DbStatus::Ok ? Answer{200, codeAnswer(903, quoted(snap->baseUrl))}
                                 : unavailable(db->error());
    }
    if (snap->interval > 0 && m.toldInterval != snap->interval) {
        s = db->run("UPDATE machines SET told_interval = $1 WHERE id = $2", {snap->interval, m.id},
                    nullptr);
        return s == DbStatus::Ok ? Answer{200, codeAnswer(902, std::to_string(snap->interval))}
                                 : unavailable(db->error());
    }
    if (snap->fingerprints && !r.byFingerprint) {
        if (m.fingerprint.empty()) {
            const std::string made = randomHex(16);
            Rows rows;
            s = db->run(
                "UPDATE machines SET fingerprint = $1 WHERE id = $2 AND fingerprint IS NULL",
                {made, m.id}, nullptr);
            if (s == DbStatus::Ok) {
                s = db->run("SELECT fingerprint FROM machines WHERE id = $1", {m.id}, &rows);
            }
            if (s != DbStatus::Ok || rows.empty()) {
                return unavailable(db->error());
            }
            m.fingerprint = text(rows[0][0]);
        }
        return {200, codeAnswer(901, quoted(m.fingerprint))};
    }
    int64_t waiting = m.directWaiting;
    // Only the campaigns for the machine's product, and those for any.
    std::vector<const Campaign*> taking;
    const auto consider = [&](const std::vector<std::size_t>& list) {
        for (const std::size_t i : list) {
            const Campaign& c = snap->campaigns[i];
            if (live(c, now) && matches(c, m)) {
                taking.push_back(&c);
            }
        }
    };
    consider(snap->anyProduct);
    const auto forProduct = snap->byProduct.find(m.product);
    if (forProduct != snap->byProduct.end()) {
        consider(forProduct->second);
    }
    if (!taking.empty()) {
        if (!r.haveHad) {
            Rows rows;
            if (db->run("SELECT campaign_id, COUNT(*) FROM deliveries WHERE machine_id = $1 "
                        "GROUP BY campaign_id",
                        {m.id}, &rows) != DbStatus::Ok) {
                return unavailable(db->error());
            }
            for (const Row& row : rows) {
                r.had.emplace_back(num(row[0]), num(row[1]));
            }
        }
        for (const Campaign* c : taking) {
            int64_t count = 0;
            for (const auto& [campaign, n] : r.had) {
                count = campaign == c->id ? n : count;
            }
            waiting += count < c->perMachine ? 1 : 0;
        }
    }
    return {200, codeAnswer(800, std::to_string(waiting))};
}

Answer PushStore::fetch(const AgentQuery& query, int64_t now)
{
    if (query.fingerprint.empty() && (query.mac.empty() || query.product.empty())) {
        return {200, codeAnswer(801, "[]")};
    }
    std::string why;
    DbPool::Lease db = pool.take(&why);
    if (!db) {
        return unavailable(why);
    }
    Transaction t(*db, true);
    std::shared_ptr<const Snapshot> snap;
    Resolved r;
    DbStatus s = t.status();
    if (s == DbStatus::Ok) {
        s = snapshot(*db, 0, &snap); // the campaigns as they are now, in this transaction
    }
    if (s == DbStatus::Ok) {
        s = resolve(*db, query, now, &r);
    }
    if (s != DbStatus::Ok) {
        return unavailable(db->error());
    }
    if (!r.known) {
        return {200, codeAnswer(904, "null")};
    }
    const Machine& m = r.machine;
    Json list(json_array());
    Rows rows;
    std::map<int64_t, int64_t> had;
    if (r.haveHad) {
        had.insert(r.had.begin(), r.had.end());
    } else {
        if (db->run("SELECT campaign_id, COUNT(*) FROM deliveries WHERE machine_id = $1 "
                    "GROUP BY campaign_id",
                    {m.id}, &rows) != DbStatus::Ok) {
            return unavailable(db->error());
        }
        for (const Row& row : rows) {
            had[num(row[0])] = num(row[1]);
        }
    }
    std::vector<const Campaign*> chosen; // highest priority first
    for (const Campaign& c : snap->campaigns) {
        if (chosen.size() >= maxPerAnswer) {
            break;
        }
        if (live(c, now) && matches(c, m) && had[c.id] < c.perMachine) {
            chosen.push_back(&c);
        }
    }
    if (!chosen.empty()) {
        // The uniqueness rule decides: of two instances asked at once, one
        // inserts a row and delivers its campaign; the other inserts nothing
        // and does not. All of them in one statement.
        std::string sql = "INSERT INTO deliveries (machine_id, campaign_id, seq, day, at) VALUES ";
        std::vector<Param> params;
        for (std::size_t i = 0; i < chosen.size(); ++i) {
            const std::size_t k = i * 5;
            sql += (i ? ", ($" : "($") + std::to_string(k + 1) + ", $" + std::to_string(k + 2) +
                   ", $" + std::to_string(k + 3) + ", $" + std::to_string(k + 4) + ", $" +
                   std::to_string(k + 5) + ")";
            params.insert(params.end(),
                          {m.id, chosen[i]->id, had[chosen[i]->id] + 1, now / 86400, now});
        }
        sql += " ON CONFLICT DO NOTHING RETURNING campaign_id";
        if (db->run(sql, params, &rows) != DbStatus::Ok) {
            return unavailable(db->error());
        }
        std::set<int64_t> won;
        for (const Row& row : rows) {
            won.insert(num(row[0]));
        }
        for (const Campaign* c : chosen) {
            if (won.count(c->id) != 0) {
                json_array_append_new(list.get(), messageFor(*c, m.id).release());
            }
        }
    }
    if (m.directWaiting > 0 && json_array_size(list.get()) < maxPerAnswer) {
        if (db->run("SELECT id, message FROM direct_messages WHERE machine_id = $1 AND "
                    "delivered IS NULL ORDER BY id LIMIT $2",
                    {m.id, int64_t(maxPerAnswer - json_array_size(list.get()))},
                    &rows) != DbStatus::Ok) {
            return unavailable(db->error());
        }
        int64_t taken = 0;
        for (const Row& row : rows) {
            if (db->run("UPDATE direct_messages SET delivered = $1 WHERE id = $2 AND "
                        "delivered IS NULL",
                        {now, num(row[0])}, nullptr) != DbStatus::Ok) {
                return unavailable(db->error());
            }
            if (db->changes() == 1) {
                ++taken;
                const std::string body = text(row[1]);
                json_t* message = json_loadb(body.data(), body.size(), 0, nullptr);
                json_array_append_new(list.get(), message ? message : json_object());
            }
        }
        if (taken > 0 && db->run("UPDATE machines SET direct_waiting = direct_waiting - $1 "
                                 "WHERE id = $2",
                                 {taken, m.id}, nullptr) != DbStatus::Ok) {
            return unavailable(db->error());
        }
    }
    if (t.commit() != DbStatus::Ok) {
        return unavailable(db->error()); // nothing was delivered
    }
    return {200, codeAnswer(801, dumpJson(list.get()))};
}

Answer PushStore::action(const AgentQuery& query, int64_t now)
{
    int64_t campaign = 0;
    int64_t machine = 0;
    int index = 0;
    if (!readActionId(query.id, &campaign, &machine, &index)) {
        return {200, codeAnswer(0, "\"unknown\"")};
    }
    std::string why;
    DbPool::Lease db = pool.take(&why);
    if (!db) {
        return unavailable(why);
    }
    // Counted once per machine and action, and only for a delivered campaign.
    const DbStatus s = db->run(
        "INSERT INTO clicks (campaign_id, machine_id, action, day, at) "
        "SELECT CAST($1 AS BIGINT), CAST($2 AS BIGINT), CAST($3 AS INTEGER), CAST($4 AS BIGINT), "
        "CAST($5 AS BIGINT) WHERE EXISTS (SELECT 1 FROM deliveries WHERE machine_id = $2 AND "
        "campaign_id = $1) AND $3 < (SELECT actions FROM campaigns WHERE id = $1) "
        "ON CONFLICT DO NOTHING",
        {campaign, machine, int64_t(index), now / 86400, now}, nullptr);
    if (s != DbStatus::Ok) {
        return unavailable(db->error());
    }
    return {200, codeAnswer(0, "\"recorded\"")};
}

Answer PushStore::createCampaign(const std::string& body, int64_t now)
{
    std::string reason;
    const Json doc = parseJson(body, &reason);
    Campaign c;
    if (!doc || !campaignFromJson(doc.get(), &c, &reason)) {
        return bad(400, reason);
    }
    std::string why;
    DbPool::Lease db = pool.take(&why);
    if (!db) {
        return unavailable(why);
    }
    Transaction t(*db, true);
    Rows rows;
    if (t.status() != DbStatus::Ok ||
        db->run("INSERT INTO campaigns (name, message, audience, starts, ends, priority, "
                "per_machine, state, actions, created, updated) VALUES ($1, $2, $3, $4, $5, $6, "
                "$7, $8, $9, $10, $10) RETURNING id",
                {c.name, c.message, c.audienceJson, c.starts, c.ends, int64_t(c.priority),
                 int64_t(c.perMachine), std::string(stateName(c.state)), int64_t(c.actions), now},
                &rows) != DbStatus::Ok ||
        rows.empty() || bumpRevision(*db) != DbStatus::Ok || t.commit() != DbStatus::Ok) {
        return unavailable(db->error());
    }
    forget();
    Json o(json_object());
    json_object_set_new(o.get(), "id", json_integer(num(rows[0][0])));
    json_object_set_new(o.get(), "state", json_string(stateName(c.state)));
    return jsonAnswer(o, 201);
}

Answer PushStore::listCampaigns()
{
    std::string why;
    DbPool::Lease db = pool.take(&why);
    if (!db) {
        return unavailable(why);
    }
    Rows rows;
    if (db->run(std::string(campaignColumns) + "ORDER BY id", {}, &rows) != DbStatus::Ok) {
        return unavailable(db->error());
    }
    Json list(json_array());
    for (const Row& r : rows) {
        json_array_append_new(list.get(), campaignJson(r, false).release());
    }
    Json o(json_object());
    json_object_set_new(o.get(), "campaigns", list.release());
    return jsonAnswer(o);
}

Answer PushStore::showCampaign(int64_t id)
{
    std::string why;
    DbPool::Lease db = pool.take(&why);
    if (!db) {
        return unavailable(why);
    }
    Rows rows;
    if (db->run(std::string(campaignColumns) + "WHERE id = $1", {id}, &rows) != DbStatus::Ok) {
        return unavailable(db->error());
    }
    if (rows.empty()) {
        return bad(404, "no campaign " + std::to_string(id));
    }
    return jsonAnswer(campaignJson(rows[0], true));
}

Answer PushStore::changeCampaign(int64_t id, const std::string& verb, int64_t now)
{
    std::string to;
    std::string from;
    if (verb == "pause") {
        to = "paused";
        from = "state = 'active'";
    } else if (verb == "resume") {
        to = "active";
        from = "state = 'paused'";
    } else if (verb == "activate") {
        to = "active";
        from = "state = 'draft'";
    } else if (verb == "end") {
        to = "ended";
        from = "state <> 'ended'";
    } else {
        return bad(404, "no such change: " + shown(verb) + " (pause, resume, activate or end)");
    }
    std::string why;
    DbPool::Lease db = pool.take(&why);
    if (!db) {
        return unavailable(why);
    }
    Transaction t(*db, true);
    Rows rows;
    if (t.status() != DbStatus::Ok ||
        db->run("UPDATE campaigns SET state = $1, updated = $2 WHERE id = $3 AND " + from,
                {to, now, id}, nullptr) != DbStatus::Ok) {
        return unavailable(db->error());
    }
    const int64_t changed = db->changes();
    if (changed == 0) {
        if (db->run("SELECT state FROM campaigns WHERE id = $1", {id}, &rows) != DbStatus::Ok) {
            return unavailable(db->error());
        }
        return rows.empty() ? bad(404, "no campaign " + std::to_string(id))
                            : bad(409, "campaign " + std::to_string(id) + " is " +
                                           text(rows[0][0]) + ": it cannot " + verb);
    }
    if (bumpRevision(*db) != DbStatus::Ok || t.commit() != DbStatus::Ok) {
        return unavailable(db->error());
    }
    forget();
    Json o(json_object());
    json_object_set_new(o.get(), "id", json_integer(id));
    json_object_set_new(o.get(), "state", json_string(to.c_str()));
    return jsonAnswer(o);
}

Answer PushStore::stats(int64_t id)
{
    std::string why;
    DbPool::Lease db = pool.take(&why);
    if (!db) {
        return unavailable(why);
    }
    Rows rows;
    if (db->run(std::string(campaignColumns) + "WHERE id = $1", {id}, &rows) != DbStatus::Ok) {
        return unavailable(db->error());
    }
    Campaign c;
    if (rows.empty()) {
        return bad(404, "no campaign " + std::to_string(id));
    }
    campaignFromRow(rows[0], &c);
    // Machines matched: the known machines that the audience takes now, read
    // a page at a time.
    int64_t matched = 0;
    int64_t after = 0;
    for (;;) {
        if (db->run(std::string(machineColumns) + "WHERE id > $1 ORDER BY id LIMIT 10000", {after},
                    &rows) != DbStatus::Ok) {
            return unavailable(db->error());
        }
        for (const Row& r : rows) {
            matched += matches(c, machineFrom(r)) ? 1 : 0;
        }
        if (rows.size() < 10000) {
            break;
        }
        after = num(rows.back()[0]);
    }
    Json days(json_object());
    int64_t delivered = 0;
    int64_t machines = 0;
    if (db->run("SELECT day, COUNT(*), COUNT(DISTINCT machine_id) FROM deliveries WHERE "
                "campaign_id = $1 GROUP BY day ORDER BY day",
                {id}, &rows) != DbStatus::Ok) {
        return unavailable(db->error());
    }
    const auto dayKey = [](int64_t day) { return isoTime(day * 86400).substr(0, 10); };
    for (const Row& r : rows) {
        Json d(json_object());
        json_object_set_new(d.get(), "delivered", json_integer(num(r[1])));
        json_object_set_new(d.get(), "clicked", json_object());
        json_object_set_new(days.get(), dayKey(num(r[0])).c_str(), d.release());
        delivered += num(r[1]);
    }
    if (db->run("SELECT COUNT(DISTINCT machine_id) FROM deliveries WHERE campaign_id = $1", {id},
                &rows) != DbStatus::Ok) {
        return unavailable(db->error());
    }
    machines = rows.empty() ? 0 : num(rows[0][0]);
    if (db->run("SELECT action, day, COUNT(*) FROM clicks WHERE campaign_id = $1 GROUP BY "
                "action, day ORDER BY day, action",
                {id}, &rows) != DbStatus::Ok) {
        return unavailable(db->error());
    }
    // Clicks per action, by the action's own id in the campaign's message.
    std::vector<std::string> actionIds;
    {
        std::string reason;
        const Json message = parseJson(c.message, &reason);
        const json_t* actions = json_object_get(message.get(), "actions");
        for (std::size_t i = 0; i < json_array_size(actions); ++i) {
            const std::string aid = jsonText(json_array_get(actions, i), "id");
            actionIds.push_back(aid.empty() ? std::to_string(i) : aid);
        }
    }
    Json clicked(json_object());
    for (const Row& r : rows) {
        const std::size_t index = std::size_t(num(r[0]));
        const std::string name =
            index < actionIds.size() ? actionIds[index] : std::to_string(index);
        const std::string day = dayKey(num(r[1]));
        json_t* d = json_object_get(days.get(), day.c_str());
        if (!d) {
            d = json_object();
            json_object_set_new(d, "delivered", json_integer(0));
            json_object_set_new(d, "clicked", json_object());
            json_object_set_new(days.get(), day.c_str(), d);
        }
        json_object_set_new(json_object_get(d, "clicked"), name.c_str(), json_integer(num(r[2])));
        const json_t* sum = json_object_get(clicked.get(), name.c_str());
        json_object_set_new(clicked.get(), name.c_str(),
                            json_integer(json_integer_value(sum) + num(r[2])));
    }
    Json o(json_object());
    json_object_set_new(o.get(), "id", json_integer(id));
    json_object_set_new(o.get(), "state", json_string(stateName(c.state)));
    json_object_set_new(o.get(), "matched", json_integer(matched));
    json_object_set_new(o.get(), "delivered", json_integer(delivered));
    json_object_set_new(o.get(), "machinesDelivered", json_integer(machines));
    json_object_set_new(o.get(), "clicked", clicked.release());
    json_object_set_new(o.get(), "days", days.release());
    return jsonAnswer(o);
}

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
                ? db->run("SELECT id FROM machines WHERE mac = $1 AND product = $2", {mac, product},
                          &rows)
                : db->run("SELECT id FROM machines WHERE fingerprint = $1", {fingerprint}, &rows);
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
    if (db->run("UPDATE machines SET direct_waiting = direct_waiting + $1 WHERE id = $2",
                {int64_t(messages.size()), machine}, nullptr) != DbStatus::Ok ||
        t.commit() != DbStatus::Ok) {
        return unavailable(db->error());
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

std::string PushStore::addToken(const std::string& name, const std::string& role,
                                std::string* reason)
{
    if (role != "read" && role != "write") {
        *reason = "the role is read or write";
        return {};
    }
    if (name.empty() || name.size() > 100) {
        *reason = "a token needs a name of 1 to 100 bytes";
        return {};
    }
    DbPool::Lease db = pool.take(reason);
    if (!db) {
        return {};
    }
    std::string token = "zp" + randomHex(24);
    if (db->run("INSERT INTO tokens (name, hash, role, created) VALUES ($1, $2, $3, $4)",
                {name, sha256(token), role, int64_t(std::time(nullptr))},
                nullptr) != DbStatus::Ok) {
        *reason = "cannot add the token: " + db->error();
        return {};
    }
    return token;
}

Role PushStore::authorize(const std::string& token)
{
    if (token.empty() || token.size() > 200) {
        return Role::None;
    }
    std::string why;
    DbPool::Lease db = pool.take(&why);
    Rows rows;
    if (!db ||
        db->run("SELECT role FROM tokens WHERE hash = $1", {sha256(token)}, &rows) !=
            DbStatus::Ok ||
        rows.empty()) {
        return Role::None;
    }
    return text(rows[0][0]) == "write" ? Role::Write : Role::Read;
}

} // namespace zp
