// The PostgreSQL side, on libpq: statements prepared once per connection,
// parameters and rows as text. A connection whose server went away reports
// Unavailable and is dropped by the pool.
#include "store/db.h"

#include <libpq-fe.h>

#include <cstring>
#include <unordered_map>

namespace zp {

namespace {

class PgDb : public Db
{
public:
    ~PgDb() override { PQfinish(conn); }
    bool open(const std::string& url, std::string* reason)
    {
        // The URL's own settings come first; these fill what it leaves out.
        const char* keys[] = {"dbname",           "connect_timeout", "options",
                              "application_name", "keepalives_idle", nullptr};
        const char* values[] = {url.c_str(), "2",  "-c statement_timeout=5000",
                                "zav-push",  "10", nullptr};
        conn = PQconnectdbParams(keys, values, 1);
        if (!conn || PQstatus(conn) != CONNECTION_OK) {
            *reason = conn ? PQerrorMessage(conn) : "out of memory";
            while (!reason->empty() && reason->back() == '\n') {
                reason->pop_back();
            }
            return false;
        }
        PQsetNoticeProcessor(
            conn, [](void*, const char*) {}, nullptr);
        return true;
    }
    Kind kind() const override { return Kind::Postgres; }
    DbStatus run(const std::string& sql, const std::vector<Param>& params, Rows* rows) override
    {
        auto found = prepared.find(sql);
        if (found == prepared.end()) {
            const std::string name = "s" + std::to_string(prepared.size());
            PGresult* res = PQprepare(conn, name.c_str(), sql.c_str(), 0, nullptr);
            const DbStatus status = check(res);
            PQclear(res);
            if (status != DbStatus::Ok) {
                return status;
            }
            found = prepared.emplace(sql, name).first;
        }
        std::vector<std::string> texts(params.size());
        std::vector<const char*> values(params.size(), nullptr);
        for (std::size_t i = 0; i < params.size(); ++i) {
            if (const auto* n = std::get_if<int64_t>(&params[i])) {
                texts[i] = std::to_string(*n);
                values[i] = texts[i].c_str();
            } else if (const auto* s = std::get_if<std::string>(&params[i])) {
                values[i] = s->c_str();
            }
        }
        PGresult* res = PQexecPrepared(conn, found->second.c_str(), int(params.size()),
                                       values.data(), nullptr, nullptr, 0);
        const DbStatus status = check(res);
        if (status == DbStatus::Ok) {
            const char* tuples = PQcmdTuples(res);
            lastChanges = tuples && *tuples ? std::strtoll(tuples, nullptr, 10) : 0;
            if (rows) {
                rows->clear();
                const int n = PQntuples(res);
                const int cols = PQnfields(res);
                rows->reserve(std::size_t(n));
                for (int r = 0; r < n; ++r) {
                    Row row(static_cast<std::size_t>(cols));
                    for (int c = 0; c < cols; ++c) {
                        if (!PQgetisnull(res, r, c)) {
                            row[std::size_t(c)] = std::string(PQgetvalue(res, r, c),
                                                              std::size_t(PQgetlength(res, r, c)));
                        }
                    }
                    rows->push_back(std::move(row));
                }
            }
        }
        PQclear(res);
        return status;
    }
    int64_t changes() const override { return lastChanges; }
    std::string error() const override { return lastError; }
    bool usable() const override { return PQstatus(conn) == CONNECTION_OK; }
    const char* beginWrite() const override { return "BEGIN"; }

private:
    DbStatus check(PGresult* res)
    {
        const ExecStatusType s = res ? PQresultStatus(res) : PGRES_FATAL_ERROR;
        if (s == PGRES_COMMAND_OK || s == PGRES_TUPLES_OK) {
            return DbStatus::Ok;
        }
        lastError = res ? PQresultErrorMessage(res) : PQerrorMessage(conn);
        while (!lastError.empty() && lastError.back() == '\n') {
            lastError.pop_back();
        }
        const char* state = res ? PQresultErrorField(res, PG_DIAG_SQLSTATE) : nullptr;
        const std::string code = state ? state : "";
        // Connection (08), resources (53), operator intervention (57: shut
        // down, statement time-out), serialization (40): try again later.
        if (PQstatus(conn) != CONNECTION_OK || code.empty() || code.rfind("08", 0) == 0 ||
            code.rfind("53", 0) == 0 || code.rfind("57", 0) == 0 || code.rfind("40", 0) == 0) {
            return DbStatus::Unavailable;
        }
        return DbStatus::Failed;
    }
    PGconn* conn = nullptr;
    std::unordered_map<std::string, std::string> prepared;
    std::string lastError;
    int64_t lastChanges = 0;
};

} // namespace

std::unique_ptr<Db> openPostgres(const std::string& url, std::string* reason)
{
    auto db = std::make_unique<PgDb>();
    if (!db->open(url, reason)) {
        return nullptr;
    }
    return db;
}

} // namespace zp
