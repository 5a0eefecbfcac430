// The seller's store: one SQLite file, market.db, in the data folder the user names. Opening it
// makes the folder (mode 0700) and the file when missing, brings an older schema forward in one
// transaction and refuses a newer one; the schema itself is the table of migrations in store.cpp.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "base/result.hpp"
#include "store/sqlite.hpp"

namespace qmr::store {

/// The store's file name inside the data folder.
inline constexpr std::string_view STORE_FILE_NAME = "market.db";

/// Returns `path` as UTF-8 text, for messages and for SQLite, which takes UTF-8 file names.
[[nodiscard]] std::string path_text(const std::filesystem::path& path);

/// The schema version this program writes (PRAGMA user_version): the number of migrations.
[[nodiscard]] std::int64_t schema_version();

/// Returns the store in `folder`, ready for reading and writing in WAL mode, or an error in words:
/// the folder cannot be made, the file is not SQLite, not this program's, corrupt, read-only, on a
/// full disk, or of a newer schema (the message names both versions). The folder is created with
/// mode 0700 when missing.
[[nodiscard]] Result<Database> open_store(const std::filesystem::path& folder);

/// Returns the store in `folder` to answer from: as open_store gives it, or when the file or its
/// folder may not be written, the existing store opened for reading only (one of an older schema,
/// which cannot be brought forward then, is refused). Returns open_store's error for any other
/// failure.
[[nodiscard]] Result<Database> open_store_for_reading(const std::filesystem::path& folder);

/// Returns an empty store in memory with the current schema, for a dry run without a store.
[[nodiscard]] Result<Database> open_memory_store();

/// Makes the connection's table of competitor observations changed in place or removed
/// (temp.changed_prices: identifier, platform, time), when it has none yet.
[[nodiscard]] Status track_competitor_changes(Database& database);

/// Brings what is kept of the competitor's observations up to date with them: the daily roll-up
/// and each listing's latest price. The observations of rowid above `prices_added_after` and the
/// listings above `listings_added_after` were added; the observations in temp.changed_prices were
/// changed in place or removed (which it empties). An import calls it once per file, in the
/// file's transaction.
[[nodiscard]] Status update_competitor_summaries(Database& database,
                                                 std::int64_t prices_added_after,
                                                 std::int64_t listings_added_after);

/// Returns "ok" when SQLite's integrity check finds nothing wrong, else what it found.
[[nodiscard]] Result<std::string> check_integrity(Database& database);

}  // namespace qmr::store
