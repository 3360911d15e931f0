// The agent's requests as the service reads them: the path and the query
// string, split, percent-decoded and checked (sizes bounded, UTF-8 valid).
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <string_view>

namespace zp {

/// What the agent's query string says of its host.
struct AgentQuery
{
    std::string fingerprint;
    std::string userId;
    std::string mac;
    std::string product;
    std::string ukey;
    std::string version;
    std::string purchased;
    std::string properties; ///< as sent: "a:1,b:2"
    std::string id;         ///< the action report's id
};

/// The bounds of what a query may hold; past them the request is refused.
struct QueryLimits
{
    static constexpr std::size_t maxParams = 64;
    static constexpr std::size_t maxValue = 4096;
    static constexpr std::size_t maxProperties = 64;
};

/// Splits a request target into its path and its query. False, with a
/// one-line reason, for a target that is not a path, a query with more than
/// maxParams parameters, a value over maxValue bytes, a bad percent escape,
/// or text that is not UTF-8. Unknown parameters are ignored.
bool readTarget(std::string_view target, std::string* path, AgentQuery* query, std::string* reason);

/// The properties as the agent joins them ("a:1,b:2"), as a map; entries past
/// maxProperties are dropped.
std::map<std::string, std::string> splitProperties(std::string_view text);

/// Whether the bytes are valid UTF-8 (no overlongs, no surrogates).
bool validUtf8(std::string_view text);

/// Decodes %XX escapes ('+' stays '+': the agent never writes it for a space).
bool percentDecode(std::string_view in, std::string* out);

} // namespace zp
