// The fleet's settings and active campaigns as one instance keeps them: read
// from the store when a second old or when the store's revision moved, and
// dropped at once after a change made here.
#include "store/store.h"

#include "store/rows.h"
#include "store/snapshot.h"

namespace zp {

using namespace sql;

namespace {

/// A thread's own copy of its store's snapshot, read without a lock.
struct ThreadSnapshot
{
    uint64_t store = 0;
    uint64_t epoch = 0;
    std::shared_ptr<const Snapshot> snap;
};
thread_local ThreadSnapshot mine;
} // namespace

DbStatus readSnapshot(Db& db, const std::shared_ptr<const Snapshot>& current,
                      std::shared_ptr<const Snapshot>* out)
{
    Rows rows;
    DbStatus s = db.run("SELECT value FROM settings WHERE key = 'revision'", {}, &rows);
    if (s != DbStatus::Ok) {
        return s;
    }
    const int64_t revision = rows.empty() ? 0 : num(rows[0][0]);
    if (current && current->revision == revision) {
        *out = current;
        return DbStatus::Ok;
    }
    auto next = std::make_shared<Snapshot>();
    {
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
    *out = std::move(next);
    return DbStatus::Ok;
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
    if (detectView) {
        detectView->campaignsChanged();
    }
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
    std::shared_ptr<const Snapshot> read;
    const DbStatus s = readSnapshot(db, current, &read);
    if (s != DbStatus::Ok) {
        return s;
    }
    auto next = std::make_shared<Snapshot>(*read);
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

} // namespace zp
