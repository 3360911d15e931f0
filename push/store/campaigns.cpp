// Campaigns on the admin side: created, listed, shown, their state changed,
// and their figures (matched, delivered, clicked, by day).
#include "store/store.h"

#include "store/rows.h"

namespace zp {

using namespace sql;

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

bool PushStore::readCampaign(Db& db, int64_t id, Rows* rows, Answer* failed)
{
    if (db.run(std::string(campaignColumns) + "WHERE id = $1", {id}, rows) != DbStatus::Ok) {
        *failed = unavailable(db.error());
        return false;
    }
    if (rows->empty()) {
        *failed = bad(404, "no campaign " + std::to_string(id));
        return false;
    }
    return true;
}

Answer PushStore::showCampaign(int64_t id)
{
    std::string why;
    DbPool::Lease db = pool.take(&why);
    if (!db) {
        return unavailable(why);
    }
    Rows rows;
    Answer failed;
    if (!readCampaign(*db, id, &rows, &failed)) {
        return failed;
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
    Answer failed;
    if (!readCampaign(*db, id, &rows, &failed)) {
        return failed;
    }
    Campaign c;
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

} // namespace zp
