#include "store/store.hpp"

#include <sqlite3.h>

#include <array>
#include <optional>
#include <system_error>

namespace qmr::store {

namespace {

// Written in the file's header ("QMR!", 1364021793, which the first migration writes), so that
// another program's SQLite file is told apart from a store of ours rather than written into.
constexpr std::int64_t APPLICATION_ID = 0x514d5221;

// Migration N takes a store from schema version N to N + 1, in the transaction that runs it, and
// sets the version itself. Money is in integer paise, times in microseconds since 1970-01-01 UTC;
// every row names the import it came from and its line in that file.
constexpr std::array<std::string_view, 3> MIGRATIONS = {
    R"sql(
PRAGMA application_id = 1364021793;
CREATE TABLE imports (
  id INTEGER PRIMARY KEY,
  sha256 TEXT NOT NULL UNIQUE,
  file_name TEXT NOT NULL,
  kind TEXT NOT NULL,
  imported_at INTEGER NOT NULL,
  rows_read INTEGER NOT NULL DEFAULT 0,
  rows_added INTEGER NOT NULL DEFAULT 0,
  rows_updated INTEGER NOT NULL DEFAULT 0,
  rows_unchanged INTEGER NOT NULL DEFAULT 0,
  rows_rejected INTEGER NOT NULL DEFAULT 0
) STRICT;
CREATE TABLE listings (
  platform TEXT NOT NULL,
  sku_asin TEXT NOT NULL,
  seller_sku TEXT NOT NULL,
  title TEXT NOT NULL,
  mrp_paise INTEGER CHECK (mrp_paise > 0),
  price_paise INTEGER CHECK (price_paise > 0),
  quantity INTEGER CHECK (quantity >= 0),
  status TEXT NOT NULL,
  fulfillment TEXT NOT NULL,
  import_id INTEGER NOT NULL REFERENCES imports (id),
  source_line INTEGER NOT NULL,
  PRIMARY KEY (platform, sku_asin)
) STRICT;
CREATE TABLE competitor_prices (
  sku_asin TEXT NOT NULL,
  platform TEXT NOT NULL,
  observed_at INTEGER NOT NULL,
  price_paise INTEGER NOT NULL CHECK (price_paise > 0),
  import_id INTEGER NOT NULL REFERENCES imports (id),
  source_line INTEGER NOT NULL,
  PRIMARY KEY (sku_asin, platform, observed_at)
) STRICT;
PRAGMA user_version = 1;
)sql",
    // Our own price as dated observations, one per listing and import (an unchanged price is
    // observed again, not a gap), and the seller's floor and ceiling per product. The series is
    // kept in its key's order (WITHOUT ROWID), so a product's history is one range of one b-tree.
    // The listings already imported are their first observation, at their import's time.
    R"sql(
CREATE TABLE our_prices (
  sku_asin TEXT NOT NULL,
  platform TEXT NOT NULL,
  observed_at INTEGER NOT NULL,
  price_paise INTEGER NOT NULL CHECK (price_paise > 0),
  import_id INTEGER NOT NULL REFERENCES imports (id),
  source_line INTEGER NOT NULL,
  PRIMARY KEY (sku_asin, platform, observed_at)
) STRICT, WITHOUT ROWID;
CREATE TABLE price_limits (
  sku_asin TEXT NOT NULL,
  platform TEXT NOT NULL,
  floor_paise INTEGER CHECK (floor_paise > 0),
  ceiling_paise INTEGER CHECK (ceiling_paise > 0),
  import_id INTEGER NOT NULL REFERENCES imports (id),
  source_line INTEGER NOT NULL,
  PRIMARY KEY (sku_asin, platform)
) STRICT;
INSERT INTO our_prices (sku_asin, platform, observed_at, price_paise, import_id, source_line)
  SELECT listings.sku_asin, listings.platform, imports.imported_at, listings.price_paise,
         listings.import_id, listings.source_line
  FROM listings JOIN imports ON imports.id = listings.import_id
  WHERE listings.price_paise IS NOT NULL;
PRAGMA user_version = 2;
)sql",
    // The Jan Aushadhi list, a row per drug code (one per pack; an unknown MRP is NULL, surgical
    // items marked), and the seller's branded prices, a row per name and pack ('' for none).
    R"sql(
CREATE TABLE jan_aushadhi_medicines (
  drug_code TEXT NOT NULL PRIMARY KEY,
  generic_name TEXT NOT NULL,
  unit_size TEXT NOT NULL,
  mrp_paise INTEGER CHECK (mrp_paise > 0),
  group_name TEXT NOT NULL,
  surgical INTEGER NOT NULL CHECK (surgical IN (0, 1)),
  import_id INTEGER NOT NULL REFERENCES imports (id),
  source_line INTEGER NOT NULL
) STRICT;
CREATE TABLE branded_medicines (
  name TEXT NOT NULL,
  pack TEXT NOT NULL,
  salt_composition TEXT NOT NULL,
  price_paise INTEGER NOT NULL CHECK (price_paise > 0),
  import_id INTEGER NOT NULL REFERENCES imports (id),
  source_line INTEGER NOT NULL,
  PRIMARY KEY (name, pack)
) STRICT;
PRAGMA user_version = 3;
)sql",
};

// Sets what every connection of ours runs with: a writer waits up to 5 s for another rather than
// failing; references are enforced; a committed import survives a power cut (one sync per file).
Status configure(Database& database) {
  sqlite3_busy_timeout(database.handle(), 5000);
  return database.execute("PRAGMA foreign_keys = ON; PRAGMA synchronous = FULL;");
}

// Brings the schema to the current version in one transaction; another process may have done it
// meanwhile, so the version is read again under the write lock.
Status migrate(Database& database) {
  auto transaction = Transaction::begin(database);
  if (!transaction.ok()) return transaction.error();
  auto version = database.query_integer("PRAGMA user_version");
  if (!version.ok()) return version.error();
  for (auto step = static_cast<std::size_t>(version.value()); step < MIGRATIONS.size(); ++step) {
    auto done = database.execute(MIGRATIONS[step]);
    if (!done.ok()) return done.error();
  }
  return transaction.value().commit();
}

// Returns the schema version of the store `database` holds (0 for a new, empty file), or an error
// when it is not SQLite, is another program's, or is of a newer schema than this program's.
Result<std::int64_t> read_header(Database& database) {
  // The first read of the file's header: a file that is not SQLite fails here.
  auto application = database.query_integer("PRAGMA application_id");
  if (!application.ok()) return application.error();
  auto version = database.query_integer("PRAGMA user_version");
  if (!version.ok()) return version.error();
  auto tables = database.query_integer("SELECT count(*) FROM sqlite_schema");
  if (!tables.ok()) return tables.error();
  if (application.value() != APPLICATION_ID && (application.value() != 0 || tables.value() != 0)) {
    return Error{database.path() + " is a SQLite database of another program, not a store"};
  }
  if (version.value() > schema_version()) {
    return Error{database.path() + " has schema version " + std::to_string(version.value()) +
                 ", newer than version " + std::to_string(schema_version()) +
                 " of this program: use a newer quillon_market_radar"};
  }
  return version.value();
}

// Returns the existing store file at `file` opened for reading only, or nothing when it cannot be
// read so. The first read of a read-only file in a folder that may not be written fails, as SQLite
// cannot make the write-ahead log's index file beside it; such a file is read as immutable.
std::optional<Database> open_read_only(const std::filesystem::path& file) {
  for (const OpenMode mode : {OpenMode::READ_ONLY, OpenMode::IMMUTABLE}) {
    auto opened = Database::open(path_text(file), mode);
    if (opened.ok() && opened.value().query_integer("PRAGMA user_version").ok()) {
      sqlite3_busy_timeout(opened.value().handle(), 5000);
      return std::move(opened.value());
    }
  }
  return std::nullopt;
}

}  // namespace

std::string path_text(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return {text.begin(), text.end()};
}

std::int64_t schema_version() { return static_cast<std::int64_t>(MIGRATIONS.size()); }

Result<Database> open_store(const std::filesystem::path& folder) {
  std::error_code failure;
  if (!std::filesystem::is_directory(folder, failure)) {
    std::filesystem::create_directories(folder, failure);
    if (!failure) {
      std::filesystem::permissions(folder, std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::replace, failure);
    }
    if (failure) {
      return Error{path_text(folder) + ": cannot make the data folder (" + failure.message() + ")"};
    }
  }
  const std::filesystem::path file = folder / STORE_FILE_NAME;
  auto opened = Database::open(path_text(file), OpenMode::READ_WRITE);
  if (!opened.ok()) return opened.error();
  Database& database = opened.value();
  auto version = read_header(database);
  if (!version.ok()) return version.error();
  if (database.read_only()) return database.error_of(SQLITE_READONLY);
  auto journal = database.prepare("PRAGMA journal_mode = WAL");
  if (!journal.ok()) return journal.error();
  auto row = journal.value().step();
  if (!row.ok()) return row.error();
  if (!row.value() || journal.value().text(0) != "wal") {
    return Error{database.path() + ": cannot use a write-ahead log on this file system"};
  }
  journal.value().reset();
  if (auto configured = configure(database); !configured.ok()) return configured.error();
  if (version.value() < schema_version()) {
    if (auto migrated = migrate(database); !migrated.ok()) return migrated.error();
  }
  return std::move(opened.value());
}

Result<Database> open_store_for_reading(const std::filesystem::path& folder) {
  auto writable = open_store(folder);
  if (writable.ok()) return writable;
  // A store that may not be written (the file's permissions, or its folder's) is read as it is;
  // any other failure, and a file that is not there to read, is the one reported.
  const std::filesystem::path file = folder / STORE_FILE_NAME;
  std::error_code failure;
  if (!std::filesystem::is_regular_file(file, failure)) return writable;
  auto readable = open_read_only(file);
  if (!readable) return writable;
  auto version = read_header(*readable);
  if (!version.ok()) return version.error();
  if (version.value() != schema_version()) {
    return Error{readable->path() + " has schema version " + std::to_string(version.value()) +
                 ", older than version " + std::to_string(schema_version()) +
                 " of this program, and may not be written to bring it forward"};
  }
  return std::move(*readable);
}

Result<Database> open_memory_store() {
  auto opened = Database::open(":memory:", OpenMode::MEMORY);
  if (!opened.ok()) return opened.error();
  if (auto configured = configure(opened.value()); !configured.ok()) return configured.error();
  if (auto migrated = migrate(opened.value()); !migrated.ok()) return migrated.error();
  return std::move(opened.value());
}

Result<std::string> check_integrity(Database& database) {
  auto statement = database.prepare("PRAGMA integrity_check");
  if (!statement.ok()) return statement.error();
  std::string found;
  for (;;) {
    auto row = statement.value().step();
    if (!row.ok()) return row.error();
    if (!row.value()) break;
    if (!found.empty()) found += '\n';
    found += statement.value().text(0);
  }
  return found;
}

}  // namespace qmr::store
