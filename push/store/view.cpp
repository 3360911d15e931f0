// The detect view (store/view.h): the refresher that builds it and keeps it
// within a second of the store, and the lock-light answer that request
// threads read from it.
#include "store/view.h"

#include "store/rows.h"

#include <algorithm>
#include <cstdio>

namespace zp {

using namespace sql;

namespace {

std::atomic<uint64_t> views{0};

/// This thread's copy of a view's snapshot, reread when the view's
/// generation moves.
thread_local ThreadSnapshot mineView;

constexpr std::size_t page = 5000;        ///< machines read at once when building
constexpr std::size_t changePage = 20000; ///< change rows read at once
constexpr int maxChangePages = 5;         ///< in one pass; the rest the next time
constexpr std::size_t idsPerStatement = 500;
constexpr int64_t gapGiveUpMs = 5000; ///< a change id missing this long was rolled back
constexpr std::size_t maxGaps = 10000;
constexpr int64_t rebuildAfterMs = 300000; ///< no complete pass this long: build again
constexpr int64_t keepChangesMs = 600000;  ///< the change log kept behind this view's reads
constexpr int64_t retryMs = 1000;          ///< after a failed pass

const char* const viewColumns = "SELECT id, mac, product, user_id, version, purchased, "
                                "properties, fingerprint, last_seen, told_interval, told_base, "
                                "direct_waiting FROM machines ";

int hexDigit(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

/// "WHERE machine_id IN ($1, ..., $n)" for the ids from..to.
std::string inList(const char* column, std::size_t n)
{
    std::string sql = std::string("WHERE ") + column + " IN (";
    for (std::size_t i = 0; i < n; ++i) {
        sql += (i ? ", $" : "$") + std::to_string(i + 1);
    }
    return sql + ")";
}

} // namespace

DetectView::DetectView(std::string url, std::size_t cap, int64_t seenAfter)
    : url(std::move(url)), cap(cap), seenAfter(seenAfter), id(++views), refresher([this] { run(); })
{
}

DetectView::~DetectView()
{
    {
        std::lock_guard<std::mutex> lock(wakeMutex);
        stopping = true;
    }
    wake.notify_all();
    refresher.join();
}

DetectView::Key DetectView::keyOf(const std::string& fingerprint)
{
    Key k;
    if (fingerprint.size() == 32) {
        k.kind = 1;
        for (std::size_t i = 0; i < 32 && k.kind == 1; ++i) {
            const int d = hexDigit(fingerprint[i]);
            if (d < 0) {
                k.kind = 0;
            } else {
                uint64_t& half = i < 16 ? k.a : k.b;
                half = (half << 4) | uint64_t(d);
            }
        }
        if (k.kind == 1) {
            return k;
        }
        k = Key();
    }
    if (fingerprint.size() <= 16) {
        unsigned char raw[16] = {};
        std::copy(fingerprint.begin(), fingerprint.end(), raw);
        for (std::size_t i = 0; i < 8; ++i) {
            k.a = (k.a << 8) | raw[i];
            k.b = (k.b << 8) | raw[i + 8];
        }
        k.kind = uint8_t(2 + fingerprint.size());
    }
    return k;
}

bool DetectView::waiting(const std::string& fingerprint, int64_t now, int64_t* count)
{
    const int64_t fresh = freshAt.load(std::memory_order_acquire);
    if (fresh < 0 || steadyMs() - fresh >= staleMs) {
        return false;
    }
    const uint64_t generation = snapGeneration.load(std::memory_order_acquire);
    if (mineView.owner != id || mineView.generation != generation) {
        std::lock_guard<std::mutex> lock(snapMutex);
        mineView = {id, snapGeneration.load(), snap};
    }
    const Snapshot* s = mineView.snap.get();
    const Key key = keyOf(fingerprint);
    if (!s || key.kind == 0) {
        return false;
    }
    Shard& shard = shardOf(key);
    std::shared_lock<std::shared_mutex> lock(shard.mutex);
    const auto found = shard.entries.find(key);
    if (found == shard.entries.end()) {
        return false;
    }
    const Entry& e = found->second;
    // Something to tell or to write: the store does it.
    if ((!s->baseUrl.empty() && *e.toldBase != s->baseUrl) ||
        (s->interval > 0 && e.toldInterval != s->interval) || now - e.lastSeen >= seenAfter) {
        return false;
    }
    MachineRef m;
    m.mac = std::string_view(e.texts.get(), e.macSize);
    m.userId = std::string_view(e.texts.get() + e.macSize, e.userSize);
    m.product = *e.product;
    m.version = *e.version;
    m.purchased = e.purchased ? std::string_view(&e.purchased, 1) : std::string_view();
    m.properties = *e.properties;
    int64_t n = e.direct;
    const auto consider = [&](const std::vector<std::size_t>& list) {
        for (const std::size_t i : list) {
            const Campaign& c = s->campaigns[i];
            if (!live(c, now) || !matches(c, m)) {
                continue;
            }
            int64_t had = 0;
            for (const auto& [campaign, k] : e.had) {
                had = campaign == c.id ? k : had;
            }
            n += had < c.perMachine ? 1 : 0;
        }
    };
    consider(s->anyProduct);
    const auto forProduct = s->byProduct.find(*e.product);
    if (forProduct != s->byProduct.end()) {
        consider(forProduct->second);
    }
    *count = n;
    answers.fetch_add(1, std::memory_order_relaxed);
    return true;
}

void DetectView::drop(const std::string& fingerprint)
{
    const Key key = keyOf(fingerprint);
    if (key.kind == 0) {
        return;
    }
    Shard& shard = shardOf(key);
    std::unique_lock<std::shared_mutex> lock(shard.mutex);
    if (shard.entries.erase(key) != 0) {
        held.fetch_sub(1);
    }
    shard.dropped[key] = steadyMs();
}

void DetectView::campaignsChanged()
{
    {
        std::lock_guard<std::mutex> lock(snapMutex);
        ++snapWanted;
        snap.reset();
        ++snapGeneration;
    }
    {
        std::lock_guard<std::mutex> lock(wakeMutex);
        kicked = true;
    }
    wake.notify_all();
}

bool DetectView::stopped()
{
    std::lock_guard<std::mutex> lock(wakeMutex);
    return stopping;
}

const std::string* DetectView::intern(const std::string& text)
{
    const auto found = texts.find(text);
    if (found != texts.end()) {
        return &*found;
    }
    if (texts.size() >= maxTexts) {
        return nullptr;
    }
    return &*texts.insert(text).first;
}

void DetectView::clear()
{
    freshAt.store(-1);
    for (Shard& shard : shards) {
        std::unique_lock<std::shared_mutex> lock(shard.mutex);
        shard.entries.clear();
        shard.dropped.clear();
    }
    held.store(0);
    built = false;
    seenAbove.clear();
    gapSince.clear();
    lowAt.clear();
    // The interned texts stay: answers being made may still point at them.
}

void DetectView::run()
{
    std::unique_ptr<Db> db;
    int64_t lastComplete = steadyMs();
    while (!stopped()) {
        const int64_t passStart = steadyMs();
        std::string reason;
        if (!db || !db->usable()) {
            db = openDb(url, &reason);
        }
        DbStatus s = db ? DbStatus::Ok : DbStatus::Unavailable;
        bool behind = false;
        if (s == DbStatus::Ok && !built) {
            s = build(*db, passStart);
            behind = true; // fresh only once the changes made meanwhile are read
            if (s == DbStatus::Ok) {
                std::fprintf(stderr, "zav-push: detect view: %zu machines read in %.1f s\n",
                             held.load(), double(steadyMs() - passStart) / 1000);
            }
        } else if (s == DbStatus::Ok) {
            s = catchUp(*db, passStart, &behind);
        }
        if (s == DbStatus::Ok) {
            lastComplete = passStart;
            if (!behind) {
                freshAt.store(passStart, std::memory_order_release);
            }
            prune(*db, passStart);
        } else if (passStart - lastComplete > rebuildAfterMs && built) {
            clear();
        }
        std::unique_lock<std::mutex> lock(wakeMutex);
        wake.wait_for(
            lock, std::chrono::milliseconds(s == DbStatus::Ok ? (behind ? 0 : refreshMs) : retryMs),
            [this] { return stopping || kicked; });
        kicked = false;
    }
}

DbStatus DetectView::refreshSnapshot(Db& db)
{
    const uint64_t wanted = snapWanted.load();
    std::shared_ptr<const Snapshot> read;
    const DbStatus s = readSnapshot(db, lastRead, &read);
    if (s != DbStatus::Ok) {
        return s;
    }
    lastRead = read;
    std::lock_guard<std::mutex> lock(snapMutex);
    if (snapWanted.load() == wanted && snap != read) {
        snap = read; // not when campaigns changed here while it was read
        ++snapGeneration;
    }
    return DbStatus::Ok;
}

DbStatus DetectView::build(Db& db, int64_t passStart)
{
    clear();
    lastRead.reset(); // campaigns changed here before now are reread
    Rows rows;
    DbStatus s = db.run("SELECT COALESCE(MAX(id), 0) FROM changes", {}, &rows);
    if (s != DbStatus::Ok || (s = refreshSnapshot(db)) != DbStatus::Ok) {
        return s;
    }
    low = rows.empty() ? 0 : num(rows[0][0]);
    int64_t after = 0;
    while (held.load() < cap && !stopped()) {
        if ((s = db.run(std::string(viewColumns) +
                            "WHERE id > $1 AND fingerprint IS NOT NULL ORDER BY id LIMIT " +
                            std::to_string(page),
                        {after}, &rows)) != DbStatus::Ok) {
            return s;
        }
        if (rows.empty()) {
            break;
        }
        const int64_t last = num(rows.back()[0]);
        Rows had;
        if ((s = db.run("SELECT machine_id, campaign_id, COUNT(*) FROM deliveries WHERE "
                        "machine_id > $1 AND machine_id <= $2 GROUP BY machine_id, campaign_id",
                        {after, last}, &had)) != DbStatus::Ok) {
            return s;
        }
        std::unordered_map<int64_t, std::vector<std::pair<int64_t, int32_t>>> byMachine;
        for (const Row& r : had) {
            byMachine[num(r[0])].emplace_back(num(r[1]), int32_t(num(r[2])));
        }
        for (const Row& r : rows) {
            const auto found = byMachine.find(num(r[0]));
            apply(r, found == byMachine.end() ? decltype(found->second)() : found->second,
                  passStart);
        }
        after = last;
    }
    built = true;
    return DbStatus::Ok;
}

DbStatus DetectView::catchUp(Db& db, int64_t passStart, bool* behind)
{
    DbStatus s = refreshSnapshot(db);
    if (s != DbStatus::Ok) {
        return s;
    }
    std::vector<int64_t> changed;
    Rows rows;
    int64_t from = low;
    for (int pass = 0; pass < maxChangePages; ++pass) {
        if ((s = db.run("SELECT id, machine_id FROM changes WHERE id > $1 ORDER BY id LIMIT " +
                            std::to_string(changePage),
                        {from}, &rows)) != DbStatus::Ok) {
            return s;
        }
        for (const Row& r : rows) {
            const int64_t change = num(r[0]);
            // Ids not seen below this one: written by transactions that have
            // not committed yet (PostgreSQL), or rolled back.
            for (int64_t gap = from + 1; gap < change && gapSince.size() < maxGaps; ++gap) {
                if (seenAbove.count(gap) == 0) {
                    gapSince.emplace(gap, passStart);
                }
            }
            from = change;
            if (seenAbove.insert(change).second) {
                gapSince.erase(change);
                changed.push_back(num(r[1]));
            }
        }
        *behind = rows.size() == changePage;
        if (!*behind) {
            break;
        }
    }
    std::sort(changed.begin(), changed.end());
    changed.erase(std::unique(changed.begin(), changed.end()), changed.end());
    for (std::size_t at = 0; at < changed.size(); at += idsPerStatement) {
        const std::vector<int64_t> ids(
            changed.begin() + std::ptrdiff_t(at),
            changed.begin() + std::ptrdiff_t(std::min(changed.size(), at + idsPerStatement)));
        if ((s = load(db, ids, passStart)) != DbStatus::Ok) {
            return s;
        }
    }
    // Advance low over what is applied and over gaps given up.
    while (!seenAbove.empty()) {
        if (*seenAbove.begin() == low + 1) {
            seenAbove.erase(seenAbove.begin());
            ++low;
            continue;
        }
        const auto gap = gapSince.find(low + 1);
        const bool givenUp = gap == gapSince.end() || passStart - gap->second >= gapGiveUpMs ||
                             gapSince.size() >= maxGaps;
        if (!givenUp) {
            break;
        }
        if (gap != gapSince.end()) {
            gapSince.erase(gap);
        }
        ++low;
    }
    return DbStatus::Ok;
}

DbStatus DetectView::load(Db& db, const std::vector<int64_t>& ids, int64_t passStart)
{
    std::vector<Param> params(ids.begin(), ids.end());
    Rows rows;
    Rows had;
    DbStatus s = db.run(std::string(viewColumns) + inList("id", ids.size()), params, &rows);
    if (s != DbStatus::Ok ||
        (s = db.run("SELECT machine_id, campaign_id, COUNT(*) FROM deliveries " +
                        inList("machine_id", ids.size()) + " GROUP BY machine_id, campaign_id",
                    params, &had)) != DbStatus::Ok) {
        return s;
    }
    std::unordered_map<int64_t, std::vector<std::pair<int64_t, int32_t>>> byMachine;
    for (const Row& r : had) {
        byMachine[num(r[0])].emplace_back(num(r[1]), int32_t(num(r[2])));
    }
    for (const Row& r : rows) {
        if (r[7]) {
            apply(r, std::move(byMachine[num(r[0])]), passStart);
        }
    }
    return DbStatus::Ok;
}

void DetectView::apply(const Row& r, std::vector<std::pair<int64_t, int32_t>> had,
                       int64_t passStart)
{
    const Key key = keyOf(text(r[7]));
    if (key.kind == 0) {
        return;
    }
    const std::string mac = text(r[1]);
    const std::string user = text(r[3]);
    const std::string purchased = text(r[5]);
    Entry e;
    e.product = intern(text(r[2]));
    e.version = intern(text(r[4]));
    e.properties = intern(text(r[6]));
    e.toldBase = intern(text(r[10]));
    const bool fits = e.product && e.version && e.properties && e.toldBase &&
                      mac.size() + user.size() <= 4096 &&
                      (purchased.empty() || purchased == "Y" || purchased == "N");
    if (fits) {
        e.macSize = uint16_t(mac.size());
        e.userSize = uint16_t(user.size());
        e.texts = std::make_unique<char[]>(mac.size() + user.size() + 1);
        std::copy(mac.begin(), mac.end(), e.texts.get());
        std::copy(user.begin(), user.end(), e.texts.get() + mac.size());
        e.purchased = purchased.empty() ? 0 : purchased[0];
        e.lastSeen = num(r[8]);
        e.toldInterval = int32_t(std::clamp<int64_t>(num(r[9]), -1, 1 << 30));
        e.direct = int32_t(std::clamp<int64_t>(num(r[11]), 0, 1 << 30));
        e.had = std::move(had);
        e.had.shrink_to_fit();
    }
    Shard& shard = shardOf(key);
    std::unique_lock<std::shared_mutex> lock(shard.mutex);
    const auto dropped = shard.dropped.find(key);
    if (dropped != shard.dropped.end() && dropped->second >= passStart) {
        return; // changed here after this read began: read again next time
    }
    const auto found = shard.entries.find(key);
    if (!fits) {
        if (found != shard.entries.end()) {
            shard.entries.erase(found);
            held.fetch_sub(1);
        }
    } else if (found != shard.entries.end()) {
        found->second = std::move(e);
    } else if (held.load() < cap) {
        shard.entries.emplace(key, std::move(e));
        held.fetch_add(1);
    }
}

void DetectView::prune(Db& db, int64_t passStart)
{
    for (Shard& shard : shards) {
        std::unique_lock<std::shared_mutex> lock(shard.mutex);
        for (auto it = shard.dropped.begin(); it != shard.dropped.end();) {
            it = passStart - it->second > 2 * staleMs ? shard.dropped.erase(it) : std::next(it);
        }
    }
    if (passStart - lastPrune < 60000) {
        return;
    }
    lastPrune = passStart;
    lowAt.emplace_back(passStart, low);
    // The change log behind what this view read ten minutes ago goes (the
    // newest row stays: SQLite would give its id again).
    int64_t upTo = 0;
    while (!lowAt.empty() && passStart - lowAt.front().first >= keepChangesMs) {
        upTo = lowAt.front().second;
        lowAt.erase(lowAt.begin());
    }
    if (upTo > 0) {
        db.run("DELETE FROM changes WHERE id <= $1 AND id < (SELECT MAX(id) FROM changes)", {upTo},
               nullptr);
    }
}

} // namespace zp
