// The SQLite side: one file in WAL mode, statements prepared once per
// connection and kept.
#include "store/db.h"

#include <sqlite3.h>

#include <mutex>
#include <unordered_map>

namespace zp {

namespace {

std::string toSqlite(const std::string& sql)
{
    std::string out = sql;
    for (std::size_t i = 0; i + 1 < out.size(); ++i) {
        if (out[i] == '$' && out[i + 1] >= '0' && out[i + 1] <= '9') {
            out[i] = '?';
        }
    }
    return out;
}

class SqliteDb : public Db
{
public:
    ~SqliteDb() override
    {
        for (auto& entry : statements) {
            sqlite3_finalize(entry.second);
        }
        sqlite3_close_v2(db);
    }
    bool open(const std::string& path, bool full, std::string* reason)
    {
        // Each connection is used by one thread at a time: no connection
        // mutexes, and no global lock around every allocation for the
        // memory statistics (both cost a futex per statement between the
        // serving threads).
        static std::once_flag configured;
        std::call_once(configured, [] {
            sqlite3_config(SQLITE_CONFIG_MULTITHREAD);
            sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
        });
        if (sqlite3_open_v2(path.c_str(), &db,
                            SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                            nullptr) != SQLITE_OK) {
            *reason = "cannot open " + path + ": " + (db ? sqlite3_errmsg(db) : "out of memory");
            return false;
        }
        sqlite3_busy_timeout(db, 1000);
        sqlite3_extended_result_codes(db, 1);
        const std::string pragmas = std::string("PRAGMA journal_mode=WAL; PRAGMA synchronous=") +
                                    (full ? "FULL" : "NORMAL") +
                                    "; PRAGMA foreign_keys=ON; PRAGMA cache_size=-65536;";
        char* err = nullptr;
        if (sqlite3_exec(db, pragmas.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
            *reason = "cannot set up " + path + ": " + (err ? err : "?");
            sqlite3_free(err);
            return false;
        }
        return true;
    }
    Kind kind() const override { return Kind::Sqlite; }
    DbStatus run(const std::string& sql, const std::vector<Param>& params, Rows* rows) override
    {
        sqlite3_stmt*& stmt = statements[sql];
        if (!stmt) {
            const std::string text = toSqlite(sql);
            if (sqlite3_prepare_v3(db, text.c_str(), int(text.size()), SQLITE_PREPARE_PERSISTENT,
                                   &stmt, nullptr) != SQLITE_OK) {
                lastError = sqlite3_errmsg(db);
                statements.erase(sql);
                return classify(sqlite3_errcode(db));
            }
        }
        sqlite3_reset(stmt);
        sqlite3_clear_bindings(stmt);
        for (std::size_t i = 0; i < params.size(); ++i) {
            const int at = int(i) + 1;
            if (const auto* n = std::get_if<int64_t>(&params[i])) {
                sqlite3_bind_int64(stmt, at, *n);
            } else if (const auto* s = std::get_if<std::string>(&params[i])) {
                sqlite3_bind_text(stmt, at, s->data(), int(s->size()), SQLITE_STATIC);
            } else {
                sqlite3_bind_null(stmt, at);
            }
        }
        if (rows) {
            rows->clear();
        }
        for (;;) {
            const int rc = sqlite3_step(stmt);
            if (rc == SQLITE_DONE) {
                break;
            }
            if (rc != SQLITE_ROW) {
                lastError = sqlite3_errmsg(db);
                const DbStatus status = classify(rc);
                sqlite3_reset(stmt);
                return status;
            }
            if (rows) {
                const int n = sqlite3_column_count(stmt);
                Row row(static_cast<std::size_t>(n));
                for (int c = 0; c < n; ++c) {
                    if (sqlite3_column_type(stmt, c) != SQLITE_NULL) {
                        const auto* text =
                            reinterpret_cast<const char*>(sqlite3_column_text(stmt, c));
                        row[std::size_t(c)] = std::string(
                            text ? text : "", std::size_t(sqlite3_column_bytes(stmt, c)));
                    }
                }
                rows->push_back(std::move(row));
            }
        }
        lastChanges = sqlite3_changes64(db);
        sqlite3_reset(stmt);
        return DbStatus::Ok;
    }
    int64_t changes() const override { return lastChanges; }
    std::string error() const override { return lastError; }
    bool usable() const override { return true; }
    const char* beginWrite() const override { return "BEGIN IMMEDIATE"; }

private:
    static DbStatus classify(int rc)
    {
        const int primary = rc & 0xff;
        return primary == SQLITE_BUSY || primary == SQLITE_LOCKED || primary == SQLITE_IOERR ||
                       primary == SQLITE_CANTOPEN || primary == SQLITE_FULL
                   ? DbStatus::Unavailable
                   : DbStatus::Failed;
    }
    sqlite3* db = nullptr;
    std::unordered_map<std::string, sqlite3_stmt*> statements;
    std::string lastError;
    int64_t lastChanges = 0;
};

} // namespace

std::unique_ptr<Db> openSqlite(const std::string& path, bool full, std::string* reason)
{
    auto db = std::make_unique<SqliteDb>();
    if (!db->open(path, full, reason)) {
        return nullptr;
    }
    return db;
}

} // namespace zp
