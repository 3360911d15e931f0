// Campaigns: a message in the service's form, who gets it (the audience),
// when, how often per machine, and in which state. Read from the admin's
// JSON, checked, and matched against machines in memory.
#pragma once

#include "core/json.h"

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace zp {

/// A machine as its detect queries describe it.
struct Machine
{
    int64_t id = 0;
    std::string mac;
    std::string product;
    std::string userId;
    std::string version;
    std::string purchased;  ///< "Y", "N" or empty (unstated)
    std::string properties; ///< as the agent joins them: "a:1,b:2"
    std::string fingerprint;
    int64_t lastSeen = 0;
    int64_t toldInterval = 0;
    std::string toldBase;
    int64_t directWaiting = 0;
};

/// The texts a machine is matched by, without copies: a Machine's own, or
/// those of the detect view's compact record.
struct MachineRef
{
    std::string_view mac;
    std::string_view product;
    std::string_view userId;
    std::string_view version;
    std::string_view purchased;
    std::string_view properties;
};

inline MachineRef refOf(const Machine& m)
{
    return {m.mac, m.product, m.userId, m.version, m.purchased, m.properties};
}

/// A set of texts that is looked up by a string_view.
using TextSet = std::set<std::string, std::less<>>;

/// Who a campaign is for. Every condition that is given must hold.
struct Audience
{
    TextSet products;                              ///< empty: any product
    std::string versionAtLeast;                    ///< empty: no lower bound
    std::string versionBelow;                      ///< empty: no upper bound
    TextSet purchased;                             ///< of "Y", "N", "unstated"; empty: any
    TextSet userIds;                               ///< empty: any
    TextSet macs;                                  ///< empty: any
    std::map<std::string, std::string> properties; ///< each must be equal
    int rolloutBasisPoints = 10000;                ///< of 10,000 machines, by a stable hash
};

enum class CampaignState
{
    Draft,
    Active,
    Paused,
    Ended
};

struct Campaign
{
    int64_t id = 0;
    std::string name;
    std::string message; ///< the message object, compact JSON
    Audience audience;
    std::string audienceJson; ///< as given, compact JSON
    int64_t starts = 0;       ///< seconds since the epoch; 0: at once
    int64_t ends = 0;         ///< 0: never
    int priority = 0;         ///< higher first
    int perMachine = 1;       ///< deliveries per machine
    CampaignState state = CampaignState::Draft;
    int actions = 0; ///< how many actions the message has
};

/// The bounds of a campaign.
struct CampaignLimits
{
    static constexpr std::size_t maxListEntries = 100000; ///< uids, macs
    static constexpr std::size_t maxActions = 16;
    static constexpr int maxPerMachine = 100;
    static constexpr int maxPriority = 1000000;
};

const char* stateName(CampaignState state);
bool stateFromName(std::string_view name, CampaignState* state);

/// Reads a campaign from the admin's JSON object ("name", "message",
/// "audience", "start", "end", "priority", "perMachine", "state"). False with
/// a one-line reason when a member is missing, mistyped or out of bounds.
bool campaignFromJson(const json_t* object, Campaign* campaign, std::string* reason);
/// Reads a message in the service's form and checks it; its compact JSON.
bool messageFromJson(const json_t* value, std::string* compact, int* actions, std::string* reason);
/// Reads an audience object.
bool audienceFromJson(const json_t* value, Audience* audience, std::string* reason);

/// Times: a number of seconds since the epoch, or "YYYY-MM-DDTHH:MM:SSZ".
bool timeFromJson(const json_t* value, int64_t* seconds);
std::string isoTime(int64_t seconds);

/// Compares two versions part by part ("2.10" > "2.9"; "2" == "2.0"):
/// negative, zero or positive.
int compareVersions(std::string_view a, std::string_view b);

/// The machine's place in a campaign's rollout, 0 to 9,999: the same for the
/// same campaign and machine on every instance.
int rolloutSlot(int64_t campaignId, std::string_view mac, std::string_view product);

/// Whether the audience takes the machine.
bool matches(const Campaign& campaign, const MachineRef& machine);
inline bool matches(const Campaign& campaign, const Machine& machine)
{
    return matches(campaign, refOf(machine));
}

/// Whether the campaign is active at the time.
inline bool live(const Campaign& c, int64_t now)
{
    return c.state == CampaignState::Active && (c.starts == 0 || c.starts <= now) &&
           (c.ends == 0 || now < c.ends);
}

/// The message as served to one machine: uuid "campaign-ID" when it has
/// none, and each action's id replaced by "cCAMPAIGN-mMACHINE-aINDEX", which
/// the action report brings back.
Json messageFor(const Campaign& campaign, int64_t machineId);

/// Reads an action report's id; false when it is not one of ours.
bool readActionId(std::string_view id, int64_t* campaign, int64_t* machine, int* action);

} // namespace zp
