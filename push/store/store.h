// The push service's decisions, all taken from the store (detects by
// fingerprint from the detect view, at most a second behind it): what a
// machine's detect query is answered, which messages its fetch gets (with
// their delivery records, in the same transaction), action reports,
// campaigns, direct messages, statistics, settings and admin tokens. Every
// operation answers with an HTTP status and a body and never fails
// otherwise. The operations are in store/agents, store/campaigns,
// store/fleet and store/store.cpp (with the snapshot it keeps, read by
// store/snapshot).
#pragma once

#include "core/campaign.h"
#include "core/query.h"
#include "store/answer.h"
#include "store/db.h"
#include "store/snapshot.h"
#include "store/view.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace zp {

enum class Role
{
    None,
    Read,
    Write
};

class PushStore
{
public:
    /// connections: at most this many kept open (one per serving thread).
    PushStore(std::string url, std::size_t connections);

    /// How stale the settings and campaigns that detect answers from may be.
    static constexpr int64_t cacheMs = 1000;
    /// A machine's last-seen time is written when it is older than this.
    static constexpr int64_t seenGranularity = 600;
    /// At most this many messages in one 801 answer; the rest come next time.
    static constexpr std::size_t maxPerAnswer = 10;

    /// Applies pending migrations; the version, or -1 and the reason.
    int migrate(std::string* reason);

    /// Answers detects by fingerprint from a view of at most cap machines
    /// in memory, at most DetectView::staleMs behind the store (after
    /// migrate). Without it every detect reads the store.
    void startView(std::size_t cap);
    /// The view, or null.
    const DetectView* view() const { return detectView.get(); }

    Answer detect(const AgentQuery& query, int64_t now);
    Answer fetch(const AgentQuery& query, int64_t now);
    Answer action(const AgentQuery& query, int64_t now);

    Answer createCampaign(const std::string& body, int64_t now);
    Answer listCampaigns();
    Answer showCampaign(int64_t id);
    /// verb: "pause", "resume", "activate" or "end".
    Answer changeCampaign(int64_t id, const std::string& verb, int64_t now);
    Answer stats(int64_t id);
    Answer sendDirect(const std::string& body, int64_t now);
    Answer settings();
    Answer changeSettings(const std::string& body);

    /// A new token for the role ("read" or "write"); the token, or empty and
    /// the reason.
    std::string addToken(const std::string& name, const std::string& role, std::string* reason);
    Role authorize(const std::string& token);

    /// SHA-256 of a text, in hex.
    static std::string sha256(const std::string& text);

private:
    struct Resolved
    {
        Machine machine;
        bool known = false; ///< false: a fingerprint nobody has
        bool byFingerprint = false;
        /// Deliveries so far per campaign, when read with the machine.
        std::vector<std::pair<int64_t, int64_t>> had;
        bool haveHad = false;
    };
    DbStatus resolve(Db& db, const AgentQuery& query, int64_t now, Resolved* out);
    /// The current snapshot; reread when older than maxAgeMs or when its
    /// revision is not the store's (checked within the caller's transaction).
    DbStatus snapshot(Db& db, int64_t maxAgeMs, std::shared_ptr<const Snapshot>* out);
    DbStatus bumpRevision(Db& db);
    /// Drops the snapshot after a change made here: this instance sees it at
    /// once, the others within cacheMs.
    void forget();
    /// Records in the change log that a machine changed (for the detect
    /// views of every instance) and drops it from this instance's view.
    DbStatus noteChange(Db& db, int64_t machine, const std::string& fingerprint, int64_t now);
    static Answer unavailable(const std::string& why);
    static Answer bad(int status, const std::string& reason);
    /// Campaign id's row into *rows; false with *failed (503, or 404 when
    /// there is no such campaign) when it cannot.
    static bool readCampaign(Db& db, int64_t id, Rows* rows, Answer* failed);

    DbPool pool;
    std::mutex cacheMutex;
    std::shared_ptr<const Snapshot> cache;
    std::atomic<uint64_t> epoch{0};         ///< bumped by forget(): threads' copies are stale
    const uint64_t id;                      ///< unique in the process
    std::unique_ptr<DetectView> detectView; ///< last: its refresher stops first
};

} // namespace zp
