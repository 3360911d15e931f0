// The store's own life: opening it (its connections, and the detect view when
// one is started), migrating it, the answers for faults, admin tokens, and the
// snapshot of settings and campaigns each instance keeps (at most a second
// old, dropped at once after a change made here).
#include "store/store.h"

#include "store/rows.h"
#include "store/schema.h"

#include <openssl/evp.h>

#include <ctime>

namespace zp {

using namespace sql;

namespace {
std::atomic<uint64_t> stores{0};
/// This thread's copy of its store's snapshot (the generation: its epoch).
thread_local ThreadSnapshot mine;
} // namespace

PushStore::PushStore(std::string url, std::size_t connections)
    : pool(std::move(url), connections), id(++stores)
{
}

void PushStore::startView(std::size_t cap)
{
    detectView.reset();
    detectView = std::make_unique<DetectView>(pool.location(), cap, seenGranularity);
}

DbStatus PushStore::noteChange(Db& db, int64_t machine, const std::string& fingerprint, int64_t now)
{
    const DbStatus s =
        db.run("INSERT INTO changes (machine_id, at) VALUES ($1, $2)", {machine, now}, nullptr);
    if (detectView && !fingerprint.empty()) {
        detectView->drop(fingerprint);
    }
    return s;
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
    if (mine.owner == id && mine.generation == seen && mine.snap &&
        now - mine.snap->readAt < maxAgeMs) {
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
