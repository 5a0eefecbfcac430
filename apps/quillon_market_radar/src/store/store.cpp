#include "store/store.hpp"

#include <sqlite3.h>

#include <array>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

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

// A day in India of a time in SQL, as engine::india_day counts it (rounded down before 1970 too).
std::string india_day_sql(std::string_view at) {
  std::string local("(");
  local.append(at).append(" + 19800000000)");
  std::string day("((");
  day.append(local).append(" - (").append(local);
  day.append(" % 86400000000 + 86400000000) % 86400000000) / 86400000000)");
  return day;
}

// Adds the observations `rows` selects (sku_asin, platform, observed_at, price_paise) of series
// `series` to the days of the roll-up. A day's earliest lowest and last price are kept as the
// observations come, in any order.
std::string add_to_days_sql(std::string_view series, std::string_view rows) {
  return "INSERT INTO daily_prices SELECT sku_asin, platform, " + std::string(series) + ", " +
         india_day_sql("observed_at") +
         ", 1, price_paise, price_paise, observed_at, price_paise, observed_at, observed_at, "
         "price_paise FROM (" +
         std::string(rows) +
         ") WHERE true ON CONFLICT DO UPDATE SET observations = observations + 1, "
         "sum_paise = sum_paise + excluded.sum_paise, "
         "low_at = CASE WHEN excluded.low_paise < low_paise OR (excluded.low_paise = low_paise "
         "AND excluded.low_at < low_at) THEN excluded.low_at ELSE low_at END, "
         "low_paise = min(low_paise, excluded.low_paise), "
         "high_paise = max(high_paise, excluded.high_paise), "
         "first_at = min(first_at, excluded.first_at), "
         "last_paise = CASE WHEN excluded.last_at > last_at THEN excluded.last_paise "
         "ELSE last_paise END, last_at = max(last_at, excluded.last_at);";
}

// Whether time `at` is in India's day `day`, both in SQL.
std::string in_day_sql(std::string_view at, std::string_view day) {
  const std::string a(at);
  const std::string d(day);
  return a + " >= " + d + " * 86400000000 - 19800000000 AND " + a + " < (" + d +
         " + 1) * 86400000000 - 19800000000";
}

// Makes the day of `row`'s (OLD or NEW) observation in `table` anew from the table's rows.
std::string redo_day_sql(std::string_view table, std::string_view series, std::string_view row) {
  const std::string r(row);
  const std::string day = india_day_sql(r + ".observed_at");
  const std::string key = "sku_asin = " + r + ".sku_asin AND platform = " + r + ".platform";
  return "DELETE FROM daily_prices WHERE " + key + " AND series = " + std::string(series) +
         " AND day = " + day + "; " +
         add_to_days_sql(series, "SELECT sku_asin, platform, observed_at, price_paise FROM " +
                                     std::string(table) + " WHERE " + key + " AND " +
                                     in_day_sql("observed_at", day));
}

// Sets each listing's latest competitor observation from the competitor's table, for the
// listings the condition that ends it selects.
constexpr std::string_view SET_LATEST_COMPETITOR_SQL =
    "UPDATE listings SET (competitor_paise, competitor_at) = (SELECT price_paise, observed_at "
    "FROM competitor_prices AS c WHERE c.sku_asin = listings.sku_asin "
    "AND c.platform = listings.platform ORDER BY observed_at DESC LIMIT 1) WHERE ";

// The daily roll-up of both series (0 ours, 1 the competitor's), kept in the transaction that
// changes an observation (ours by triggers, the competitor's by update_competitor_summaries), so
// that a product's summaries, charts and the days its alerts need not look at are read a row a
// day rather than an observation at a time.
std::string daily_prices_migration() {
  std::string sql = R"sql(
CREATE TABLE daily_prices (
  sku_asin TEXT NOT NULL,
  platform TEXT NOT NULL,
  series INTEGER NOT NULL CHECK (series IN (0, 1)),
  day INTEGER NOT NULL,
  observations INTEGER NOT NULL,
  sum_paise INTEGER NOT NULL,
  low_paise INTEGER NOT NULL,
  low_at INTEGER NOT NULL,
  high_paise INTEGER NOT NULL,
  first_at INTEGER NOT NULL,
  last_at INTEGER NOT NULL,
  last_paise INTEGER NOT NULL,
  PRIMARY KEY (sku_asin, platform, series, day)
) STRICT, WITHOUT ROWID;
)sql";
  constexpr std::pair<std::string_view, std::string_view> SERIES[] = {{"our_prices", "0"},
                                                                      {"competitor_prices", "1"}};
  for (const auto& [table, series] : SERIES) {
    const std::string name(table);
    sql += add_to_days_sql(series,
                           "SELECT sku_asin, platform, observed_at, price_paise FROM " + name) +
           "\n";
    // The competitor's days are kept once per file since schema 5 (a store of schema 4 has these
    // triggers for them too, which migration 5 drops).
    if (series != "0") continue;
    sql += "CREATE TRIGGER " + name + "_add_day AFTER INSERT ON " + name + " BEGIN " +
           add_to_days_sql(series,
                           "SELECT NEW.sku_asin AS sku_asin, NEW.platform AS platform, "
                           "NEW.observed_at AS observed_at, NEW.price_paise AS "
                           "price_paise") +
           " END;\n";
    sql += "CREATE TRIGGER " + name + "_update_day AFTER UPDATE OF observed_at, price_paise ON " +
           name + " BEGIN " + redo_day_sql(table, series, "OLD") +
           redo_day_sql(table, series, "NEW") + " END;\n";
    sql += "CREATE TRIGGER " + name + "_delete_day AFTER DELETE ON " + name + " BEGIN " +
           redo_day_sql(table, series, "OLD") + " END;\n";
  }
  return sql + "PRAGMA user_version = 4;\n";
}

// The latest competitor observation of each listing's identifier and platform (the newest
// observed_at), kept on the listing's own row so that reading a listing seeks nothing more, and
// the competitor's days brought up to date once per file (update_competitor_summaries) rather
// than by a trigger a row: our own series keeps its triggers.
std::string latest_competitor_migration() {
  return "DROP TRIGGER IF EXISTS competitor_prices_add_day; "
         "DROP TRIGGER IF EXISTS competitor_prices_update_day; "
         "DROP TRIGGER IF EXISTS competitor_prices_delete_day; "
         "ALTER TABLE listings ADD COLUMN competitor_paise INTEGER; "
         "ALTER TABLE listings ADD COLUMN competitor_at INTEGER; " +
         std::string(SET_LATEST_COMPETITOR_SQL) + "true; PRAGMA user_version = 5;\n";
}

// The migrations in order: migration N takes a store from schema version N to N + 1.
const std::vector<std::string>& migrations() {
  static const std::vector<std::string> all = [] {
    std::vector<std::string> texts(MIGRATIONS.begin(), MIGRATIONS.end());
    texts.push_back(daily_prices_migration());
    texts.push_back(latest_competitor_migration());
    return texts;
  }();
  return all;
}

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
  for (auto step = static_cast<std::size_t>(version.value()); step < migrations().size(); ++step) {
    auto done = database.execute(migrations()[step]);
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

Status track_competitor_changes(Database& database) {
  return database.execute(
      "CREATE TEMP TABLE IF NOT EXISTS changed_prices (sku_asin TEXT NOT NULL, "
      "platform TEXT NOT NULL, observed_at INTEGER NOT NULL) STRICT");
}

Status update_competitor_summaries(Database& database, std::int64_t prices_added_after,
                                   std::int64_t listings_added_after) {
  if (auto tracked = track_competitor_changes(database); !tracked.ok()) return tracked;
  const std::string changed_days = "SELECT DISTINCT sku_asin, platform, " +
                                   india_day_sql("observed_at") +
                                   " AS day FROM temp.changed_prices";
  // The observations added: each merged into its day as it comes, in any order, and the latest
  // price of a listing they are of sought again (an older one leaves it as it was); a listing
  // added takes the latest there is.
  const std::pair<std::string, std::int64_t> added[] = {
      {add_to_days_sql("1",
                       "SELECT sku_asin, platform, observed_at, price_paise FROM competitor_prices "
                       "WHERE rowid > ?1"),
       prices_added_after},
      {std::string(SET_LATEST_COMPETITOR_SQL) +
           "rowid IN (SELECT l.rowid FROM competitor_prices AS n JOIN listings AS l "
           "ON l.platform = n.platform AND l.sku_asin = n.sku_asin WHERE n.rowid > ?1)",
       prices_added_after},
      {std::string(SET_LATEST_COMPETITOR_SQL) +
           "rowid > ?1 AND EXISTS (SELECT 1 FROM competitor_prices AS c "
           "WHERE c.sku_asin = listings.sku_asin AND c.platform = listings.platform)",
       listings_added_after}};
  // A store without the competitor's prices has none for the listings added.
  auto observed = database.query_integer("SELECT EXISTS (SELECT 1 FROM competitor_prices)");
  if (!observed.ok()) return observed.error();
  for (const auto& [sql, after] : added) {
    if (observed.value() == 0) break;
    auto statement = database.prepare(sql);
    if (!statement.ok()) return statement.error();
    if (auto done = statement.value().bind(1, after).run(); !done.ok()) return done;
  }
  // An observation changed in place or removed: its day made anew from the day's observations,
  // and its listing's latest price sought again.
  return database.execute(
      "DELETE FROM daily_prices WHERE series = 1 AND (sku_asin, platform, day) IN (" +
      changed_days + "); " +
      add_to_days_sql("1", "SELECT c.sku_asin, c.platform, c.observed_at, c.price_paise FROM (" +
                               changed_days +
                               ") AS d JOIN competitor_prices AS c "
                               "ON c.sku_asin = d.sku_asin AND c.platform = d.platform AND " +
                               in_day_sql("c.observed_at", "d.day")) +
      std::string(SET_LATEST_COMPETITOR_SQL) +
      "(platform, sku_asin) IN (SELECT platform, sku_asin FROM temp.changed_prices); "
      "DELETE FROM temp.changed_prices;");
}

std::string path_text(const std::filesystem::path& path) {
  const std::u8string text = path.u8string();
  return {text.begin(), text.end()};
}

std::int64_t schema_version() { return static_cast<std::int64_t>(migrations().size()); }

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
