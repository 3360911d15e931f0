// The fleet's settings and the active campaigns, as one instance last read
// them: what detect and message answers decide with.
#pragma once

#include "core/campaign.h"
#include "store/db.h"

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace zp {

/// The fleet's settings and the active campaigns, as one instance last read them.
struct Snapshot
{
    int64_t revision = -1;
    int64_t readAt = 0;              ///< steady clock, ms
    int64_t interval = 0;            ///< 902 to each machine once, 0: never
    std::string baseUrl;             ///< 903 to each machine once, empty: never
    bool fingerprints = true;        ///< 901 to each machine
    std::vector<Campaign> campaigns; ///< active ones, highest priority first
    /// Indexes into campaigns: those for a product, and those for any.
    std::unordered_map<std::string, std::vector<std::size_t>> byProduct;
    std::vector<std::size_t> anyProduct;
};

/// A thread's own copy of a snapshot, read without a lock: whose copy it is
/// (a store's or a detect view's id) and the generation it was taken at.
struct ThreadSnapshot
{
    uint64_t owner = 0;
    uint64_t generation = 0;
    std::shared_ptr<const Snapshot> snap;
};

/// Reads the snapshot from the store: current itself when the store's
/// revision is still current's, else a new one (readAt left 0).
DbStatus readSnapshot(Db& db, const std::shared_ptr<const Snapshot>& current,
                      std::shared_ptr<const Snapshot>* out);

} // namespace zp
