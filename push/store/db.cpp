#include "store/db.h"

#include <atomic>

namespace zp {

std::unique_ptr<Db> openSqlite(const std::string& path, bool full, std::string* reason);
std::unique_ptr<Db> openPostgres(const std::string& url, std::string* reason);

std::unique_ptr<Db> openDb(const std::string& url, std::string* reason)
{
    if (url.rfind("postgresql://", 0) == 0 || url.rfind("postgres://", 0) == 0) {
        return openPostgres(url, reason);
    }
    std::string path = url.rfind("sqlite:", 0) == 0 ? url.substr(7) : url;
    bool full = false;
    const std::size_t mark = path.rfind("?sync=");
    if (mark != std::string::npos) {
        const std::string sync = path.substr(mark + 6);
        if (sync != "full" && sync != "normal") {
            *reason = "sqlite:PATH?sync= takes full or normal";
            return nullptr;
        }
        full = sync == "full";
        path.resize(mark);
    }
    if (path.empty()) {
        *reason = "the store URL names no file";
        return nullptr;
    }
    return openSqlite(path, full, reason);
}

namespace {

/// Each serving thread keeps one connection of its own, taken and given back
/// without a lock; a second one at once comes from the pool.
struct ThreadSlot
{
    uint64_t pool = 0;
    std::unique_ptr<Db> db;
};
thread_local ThreadSlot slot;
std::atomic<uint64_t> pools{0};

} // namespace

DbPool::DbPool(std::string url, std::size_t max) : id(++pools), url(std::move(url)), max(max) {}

DbPool::Lease DbPool::take(std::string* reason)
{
    if (slot.pool == id && slot.db) {
        std::unique_ptr<Db> db = std::move(slot.db);
        if (db->usable()) {
            return Lease(this, std::move(db));
        }
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        while (!idle.empty()) {
            std::unique_ptr<Db> db = std::move(idle.back());
            idle.pop_back();
            if (db->usable()) {
                return Lease(this, std::move(db));
            }
        }
    }
    std::unique_ptr<Db> db = openDb(url, reason);
    DbPool* owner = db ? this : nullptr; // before db is moved into the lease
    return Lease(owner, std::move(db));
}

void DbPool::giveBack(std::unique_ptr<Db> db)
{
    if (!db->usable()) {
        return;
    }
    if (slot.pool != id || !slot.db) {
        slot.pool = id;
        slot.db = std::move(db);
        return;
    }
    std::lock_guard<std::mutex> lock(mutex);
    if (idle.size() < max) {
        idle.push_back(std::move(db));
    }
}

Transaction::Transaction(Db& db, bool write)
    : db(db), begun(db.run(write ? db.beginWrite() : "BEGIN", {}, nullptr))
{
    open = begun == DbStatus::Ok;
}

Transaction::~Transaction()
{
    if (open) {
        db.run("ROLLBACK", {}, nullptr);
    }
}

DbStatus Transaction::commit()
{
    if (!open) {
        return begun;
    }
    open = false;
    const DbStatus status = db.run("COMMIT", {}, nullptr);
    if (status != DbStatus::Ok) {
        db.run("ROLLBACK", {}, nullptr);
    }
    return status;
}

} // namespace zp
