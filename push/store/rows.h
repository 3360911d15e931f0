// Reading the store's rows and writing the service's answers: the helpers
// that every part of the store's code shares (texts and numbers of a row,
// a machine and a campaign from their columns, JSON answers).
#pragma once

#include "core/campaign.h"
#include "store/answer.h"
#include "store/db.h"

#include <cstdint>
#include <optional>
#include <string>

namespace zp::sql {

/// The columns machineFrom reads, ending in "FROM machines ".
extern const char* const machineColumns;
/// The columns campaignFromRow and campaignJson read, ending in "FROM campaigns ".
extern const char* const campaignColumns;

int64_t num(const std::optional<std::string>& v);
std::string text(const std::optional<std::string>& v);
Machine machineFrom(const Row& r);
/// The steady clock in ms.
int64_t steadyMs();
/// bytes random bytes, in hex.
std::string randomHex(std::size_t bytes);
/// {"code":CODE,"data":DATA} and a line end.
std::string codeAnswer(int code, const std::string& dataJson);
/// A JSON string of the text.
std::string quoted(const std::string& s);
/// False when the stored audience cannot be read.
bool campaignFromRow(const Row& r, Campaign* c);
Json campaignJson(const Row& r, bool whole);
Answer jsonAnswer(const Json& value, int status = 200);

} // namespace zp::sql
