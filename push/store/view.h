// The detect view: what a detect by fingerprint needs of each machine (its
// product, version, purchase state, properties, what it was told, its direct
// messages waiting and its deliveries per campaign) and the campaign
// snapshot, in memory, so that the steady state of a fleet is answered
// without the store. One refresher thread per view reads the store's change
// log "since the last id" every refreshMs and applies it; the view answers
// only while its last complete read began less than staleMs ago, and a
// machine it does not hold (new, beyond the cap, or with something to write)
// is answered by the store as before. Message answers and their delivery
// records never come from here.
#pragma once

#include "core/campaign.h"
#include "store/db.h"
#include "store/snapshot.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace zp {

class DetectView
{
public:
    /// How often the refresher reads the change log.
    static constexpr int64_t refreshMs = 400;
    /// The most an answer from the view may be behind the store.
    static constexpr int64_t staleMs = 1000;
    /// Machines held by default (about 175 bytes each: 350 MB).
    static constexpr std::size_t defaultCap = 2'000'000;
    /// Distinct products, versions, properties and base URLs kept at most.
    static constexpr std::size_t maxTexts = 200'000;

    /// Starts the refresher on a connection of its own to the store at url.
    /// seenAfter: a machine whose last-seen time is this many seconds old is
    /// left to the store, which writes it.
    DetectView(std::string url, std::size_t cap, int64_t seenAfter);
    ~DetectView(); ///< stops the refresher (within one statement) and waits for it
    DetectView(const DetectView&) = delete;
    DetectView& operator=(const DetectView&) = delete;

    /// The number of messages waiting for the machine with this fingerprint,
    /// when the view can tell; false: ask the store.
    bool waiting(const std::string& fingerprint, int64_t now, int64_t* count);
    /// Forgets a machine that this instance has just changed in the store:
    /// the store answers for it until the refresher reads it again.
    void drop(const std::string& fingerprint);
    /// Campaigns or settings changed here: no answers until they are reread.
    void campaignsChanged();

    std::size_t machines() const { return held.load(); }
    uint64_t answered() const { return answers.load(); }

private:
    /// A fingerprint: 32 hex digits as 16 bytes, or a text of up to 16 bytes.
    struct Key
    {
        uint64_t a = 0;
        uint64_t b = 0;
        uint8_t kind = 0; ///< 0: not one the view holds, 1: hex, 2..18: a text of kind - 2 bytes
        bool operator==(const Key& o) const { return a == o.a && b == o.b && kind == o.kind; }
    };
    struct KeyHash
    {
        std::size_t operator()(const Key& k) const noexcept
        {
            return std::size_t((k.a * 0x9E3779B97F4A7C15ULL) ^ (k.b + k.kind));
        }
    };
    static Key keyOf(const std::string& fingerprint);

    /// One machine, compact: the shared texts are interned.
    struct Entry
    {
        const std::string* product = nullptr;
        const std::string* version = nullptr;
        const std::string* properties = nullptr;
        const std::string* toldBase = nullptr;
        std::unique_ptr<char[]> texts; ///< the MAC address, then the user id
        uint16_t macSize = 0;
        uint16_t userSize = 0;
        int32_t toldInterval = 0;
        int32_t direct = 0;
        char purchased = 0; ///< 'Y', 'N' or 0
        int64_t lastSeen = 0;
        std::vector<std::pair<int64_t, int32_t>> had; ///< deliveries per campaign
    };

    struct Shard
    {
        mutable std::shared_mutex mutex;
        std::unordered_map<Key, Entry, KeyHash> entries;
        /// Machines dropped here, with the steady time: a read that began
        /// before it is not applied.
        std::unordered_map<Key, int64_t, KeyHash> dropped;
    };
    static constexpr std::size_t shardCount = 64;
    Shard& shardOf(const Key& k) { return shards[(k.a ^ (k.b >> 7)) % shardCount]; }

    // The refresher's own.
    void run();
    /// Reads every machine with a fingerprint, up to the cap.
    DbStatus build(Db& db, int64_t passStart);
    /// Reads the change log since the last id and the machines it names;
    /// *behind when more is left for the next pass.
    DbStatus catchUp(Db& db, int64_t passStart, bool* behind);
    /// Reads these machines and their deliveries, and puts them in the view.
    DbStatus load(Db& db, const std::vector<int64_t>& ids, int64_t passStart);
    void apply(const Row& machine, std::vector<std::pair<int64_t, int32_t>> had, int64_t passStart);
    DbStatus refreshSnapshot(Db& db);
    void prune(Db& db, int64_t passStart);
    void clear();
    const std::string* intern(const std::string& text);
    bool stopped();

    const std::string url;
    const std::size_t cap;
    const int64_t seenAfter;
    const uint64_t id; ///< unique in the process: the key of a thread's snapshot copy

    std::array<Shard, shardCount> shards;
    std::atomic<std::size_t> held{0};
    std::atomic<uint64_t> answers{0};
    std::atomic<int64_t> freshAt{-1}; ///< steady ms at which the last complete read began

    std::mutex snapMutex;
    std::shared_ptr<const Snapshot> snap; ///< null: not to be used
    std::atomic<uint64_t> snapGeneration{0};
    std::atomic<uint64_t> snapWanted{0}; ///< bumped by campaignsChanged()

    std::mutex wakeMutex;
    std::condition_variable wake;
    bool stopping = false; ///< under wakeMutex
    bool kicked = false;   ///< under wakeMutex

    // Touched by the refresher thread only.
    std::unordered_set<std::string> texts; ///< interned; never freed while the view lives
    std::shared_ptr<const Snapshot> lastRead;
    bool built = false;
    int64_t low = 0;                                ///< every change up to this id is applied
    std::set<int64_t> seenAbove;                    ///< applied changes above low
    std::map<int64_t, int64_t> gapSince;            ///< missing ids above low, since when
    std::vector<std::pair<int64_t, int64_t>> lowAt; ///< (steady ms, low), one a minute
    int64_t lastPrune = 0;

    std::thread refresher; ///< last: started when everything above is made
};

} // namespace zp
