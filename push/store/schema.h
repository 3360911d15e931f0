// The store's tables, one schema for SQLite and PostgreSQL, and the versioned
// migrations that make and change them.
#pragma once

#include "store/db.h"

#include <string>

namespace zp {

/// The schema version this program works with.
constexpr int schemaVersion = 2;

/// Applies the migrations the store has not had yet, each in a transaction
/// of its own (PostgreSQL: under an advisory lock, so that instances started
/// together apply them once). Returns the version the store is at, or -1
/// and the reason.
int migrate(Db& db, std::string* reason);

/// The version the store is at (0: none), or -1 when it cannot be read.
int storedVersion(Db& db);

} // namespace zp
