// The fleet's settings and active campaigns as one instance reads them from
// the store (PushStore keeps them, store.cpp: at most a second old, and
// dropped at once after a change made here).
#include "store/snapshot.h"

#include "store/rows.h"

namespace zp {

using namespace sql;

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

} // namespace zp
