// One connection to a store, SQLite or PostgreSQL, behind the few calls the
// service makes: a statement with bound parameters, its rows as texts, and a
// transaction. SQL is written once with $1, $2... parameters; the SQLite side
// reads them as ?1, ?2...
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace zp {

using Param = std::variant<std::nullptr_t, int64_t, std::string>;
using Row = std::vector<std::optional<std::string>>;
using Rows = std::vector<Row>;

/// How a statement ended.
enum class DbStatus
{
    Ok,
    Unavailable, ///< the store cannot be reached or is busy: try later (503)
    Failed,      ///< the statement itself failed
};

class Db
{
public:
    enum class Kind
    {
        Sqlite,
        Postgres
    };
    virtual ~Db() = default;
    virtual Kind kind() const = 0;
    /// Runs one statement; its rows go to rows when given. changes(): the rows
    /// that the last statement inserted, updated or deleted.
    virtual DbStatus run(const std::string& sql, const std::vector<Param>& params, Rows* rows) = 0;
    virtual int64_t changes() const = 0;
    virtual std::string error() const = 0;
    /// Whether the connection is still usable (a PostgreSQL connection that
    /// broke is made again).
    virtual bool usable() const = 0;
    /// BEGIN for a transaction that writes (SQLite takes its write lock at once).
    virtual const char* beginWrite() const = 0;
};

/// Opens a store from its URL: "sqlite:PATH" (or a plain path) or
/// "postgresql://..." / "postgres://..."; null and the reason on failure.
std::unique_ptr<Db> openDb(const std::string& url, std::string* reason);

/// Connections for the service's threads: a connection is taken for one
/// request and given back; a broken one is dropped and made again on demand.
class DbPool
{
public:
    DbPool(std::string url, std::size_t max);
    class Lease
    {
    public:
        Lease(DbPool* pool, std::unique_ptr<Db> db) : pool(pool), db(std::move(db)) {}
        Lease(Lease&&) = default;
        Lease& operator=(Lease&&) = delete;
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        ~Lease()
        {
            if (pool && db) {
                pool->giveBack(std::move(db));
            }
        }
        Db* operator->() const { return db.get(); }
        Db& operator*() const { return *db; }
        explicit operator bool() const { return db != nullptr; }

    private:
        DbPool* pool;
        std::unique_ptr<Db> db;
    };
    /// A connection, or none when the store cannot be reached now.
    Lease take(std::string* reason);
    const std::string& location() const { return url; }

private:
    void giveBack(std::unique_ptr<Db> db);
    const uint64_t id; ///< unique in the process: the key of a thread's own connection
    std::string url;
    std::size_t max;
    std::mutex mutex;
    std::vector<std::unique_ptr<Db>> idle;
};

/// Runs a statement in a transaction and ends it: COMMIT when ok, else ROLLBACK.
class Transaction
{
public:
    Transaction(Db& db, bool write);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    DbStatus status() const { return begun; }
    DbStatus commit();

private:
    Db& db;
    DbStatus begun;
    bool open = false;
};

} // namespace zp
