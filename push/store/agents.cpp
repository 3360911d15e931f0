// The agents' requests: a machine resolved from its query (made or updated in
// the store), its detect answer (from the detect view when it has the
// machine, else from the store), its message answer with the delivery records
// written in the same transaction, and action reports.
#include "store/store.h"

#include "store/rows.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <set>

namespace zp {

using namespace sql;

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
                if (s == DbStatus::Ok) {
                    s = noteChange(db, out->machine.id, out->machine.fingerprint, now);
                }
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
        if ((s = noteChange(db, num(rows[0][0]), std::string(), now)) != DbStatus::Ok) {
            return s;
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
    } else {
        return s;
    }
    return s == DbStatus::Ok ? noteChange(db, m.id, m.fingerprint, now) : s;
}

Answer PushStore::detect(const AgentQuery& query, int64_t now)
{
    if (query.fingerprint.empty() && (query.mac.empty() || query.product.empty())) {
        return {200, codeAnswer(800, "0")}; // nobody to count for
    }
    // The steady state: a machine the view holds, with nothing to write.
    int64_t waitingNow = 0;
    if (detectView && !query.fingerprint.empty() &&
        detectView->waiting(query.fingerprint, now, &waitingNow)) {
        return {200, codeAnswer(800, std::to_string(waitingNow))};
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
        s = s == DbStatus::Ok ? noteChange(*db, m.id, m.fingerprint, now) : s;
        return s == DbStatus::Ok ? Answer{200, codeAnswer(903, quoted(snap->baseUrl))}
                                 : unavailable(db->error());
    }
    if (snap->interval > 0 && m.toldInterval != snap->interval) {
        s = db->run("UPDATE machines SET told_interval = $1 WHERE id = $2", {snap->interval, m.id},
                    nullptr);
        s = s == DbStatus::Ok ? noteChange(*db, m.id, m.fingerprint, now) : s;
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
                s = noteChange(*db, m.id, std::string(), now);
            }
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
    if (json_array_size(list.get()) > 0 &&
        noteChange(*db, m.id, m.fingerprint, now) != DbStatus::Ok) {
        return unavailable(db->error());
    }
    if (t.commit() != DbStatus::Ok) {
        return unavailable(db->error()); // nothing was delivered
    }
    if (detectView && !m.fingerprint.empty()) {
        detectView->drop(m.fingerprint); // again: the view may have read it before the commit
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

} // namespace zp
