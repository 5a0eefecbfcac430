#include "store/import.hpp"

#include <array>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <optional>
#include <random>
#include <system_error>

#include "store/csv.hpp"
#include "store/sqlite.hpp"
#include "store/store.hpp"

namespace qmr::store {

namespace {

// Records read between two calls of the progress callback.
constexpr std::uint64_t PROGRESS_EVERY = 4096;

std::int64_t clock_now() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Returns an RFC 3339 UTC text of `micros` since 1970, to the second.
std::string utc_text(std::int64_t micros) {
  std::int64_t seconds = micros / 1'000'000;
  std::int64_t days = seconds / 86400;
  seconds %= 86400;
  if (seconds < 0) {
    seconds += 86400;
    --days;
  }
  // The civil date of a day count (H. Hinnant's algorithm).
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const std::int64_t day_of_era = days - era * 146097;
  const std::int64_t year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const std::int64_t day_of_year =
      day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const std::int64_t month_index = (5 * day_of_year + 2) / 153;
  const std::int64_t day = day_of_year - (153 * month_index + 2) / 5 + 1;
  const std::int64_t month = month_index < 10 ? month_index + 3 : month_index - 9;
  const std::int64_t year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);
  char text[96];
  // PRId64 rather than a cast to long long, which is std::int64_t itself on some systems.
  std::snprintf(text, sizeof text,
                "%04" PRId64 "-%02" PRId64 "-%02" PRId64 "T%02" PRId64 ":%02" PRId64 ":%02" PRId64
                "Z",
                year, month, day, seconds / 3600, seconds / 60 % 60, seconds % 60);
  return text;
}

// Returns `text` as the summary shows a file's text: control characters (a terminal's escape
// sequences among them) as '?', and cut after SHOWN_BYTES bytes on a character's boundary.
std::string shown(std::string_view text) {
  constexpr std::size_t SHOWN_BYTES = 200;
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (i >= SHOWN_BYTES && (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80)
      return out + "...";
    const auto byte = static_cast<unsigned char>(text[i]);
    out += byte < 0x20 || byte == 0x7F ? '?' : text[i];
  }
  return out;
}

// Returns `cell` quoted for a CSV file when it holds a separator, a quote or a line break.
std::string csv_cell(std::string_view cell) {
  if (cell.find_first_of(",\"\r\n") == std::string_view::npos) return std::string(cell);
  std::string quoted = "\"";
  for (const char c : cell) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

// The rejects CSV of one file, beside the store: written to a temporary name and put in place
// when the file is done, so that it is whole or absent. Named after the file's SHA-256, so the
// same file's rejects replace its earlier ones.
class RejectsFile {
 public:
  RejectsFile(const std::filesystem::path& folder, const std::string& sha256)
      : path_(folder / ("rejects-" + sha256.substr(0, 12) + ".csv")),
        temporary_(folder / ("rejects-" + sha256.substr(0, 12) + ".csv.partial")) {}
  RejectsFile(const RejectsFile&) = delete;
  RejectsFile& operator=(const RejectsFile&) = delete;
  ~RejectsFile() {
    if (out_.is_open()) {
      out_.close();
      std::error_code ignored;
      std::filesystem::remove(temporary_, ignored);
    }
  }

  void add(const RowIssue& row) {
    if (!out_.is_open()) {
      out_.open(temporary_, std::ios::binary | std::ios::trunc);
      // A byte-order mark, so that a spreadsheet takes the file for UTF-8.
      out_ << "\xEF\xBB\xBFline,column,value,reason\r\n";
    }
    out_ << row.line << ',' << csv_cell(neutralise_cell(row.issue.column)) << ','
         << csv_cell(neutralise_cell(row.issue.value)) << ','
         << csv_cell(neutralise_cell(row.issue.reason)) << "\r\n";
  }

  // Puts the file in place, or removes an earlier one when there was no reject; returns its path
  // ("" for none), or an error when it could not be written.
  Result<std::string> finish() {
    std::error_code failure;
    if (!out_.is_open()) {
      std::filesystem::remove(path_, failure);
      return std::string();
    }
    out_.close();
    if (out_.fail()) {
      std::filesystem::remove(temporary_, failure);
      return Error{path_text(path_) + " could not be written"};
    }
    std::filesystem::rename(temporary_, path_, failure);
    if (failure) {
      return Error{path_text(path_) + " could not be written (" + failure.message() + ")"};
    }
    return path_text(path_);
  }

 private:
  std::filesystem::path path_;
  std::filesystem::path temporary_;
  std::ofstream out_;
};

// How a row changed the store.
enum class Change { ADDED, UPDATED, UNCHANGED, DUPLICATE };

// Writes rows into the store through statements prepared once per import, their values bound.
// A new row costs one statement: it is inserted, and only when its key is there already is the
// row found, compared and updated. A row already written by this file carries this import's id;
// a row this file left unchanged is marked in a temporary table by its rowid, so that a second
// row of the file with the same key is told from the first.
class RowWriter {
 public:
  static Result<RowWriter> prepare(Database& database) {
    auto created = database.execute(
        "CREATE TEMP TABLE IF NOT EXISTS seen_rows (id INTEGER PRIMARY KEY, line INTEGER NOT NULL) "
        "STRICT");
    if (!created.ok()) return created.error();
    if (auto tracked = track_competitor_changes(database); !tracked.ok()) return tracked.error();
    std::vector<Statement> statements;
    for (const std::string_view sql : STATEMENTS) {
      auto statement = database.prepare(sql);
      if (!statement.ok()) return statement.error();
      statements.push_back(std::move(statement.value()));
    }
    return RowWriter(database, std::move(statements));
  }

  // Starts a file: no row seen yet; the observations and listings it adds come after the last.
  Status start(std::int64_t import_id, std::int64_t now) {
    import_id_ = import_id;
    now_ = now;
    for (auto [last, table] : {std::pair{&prices_before_, "competitor_prices"},
                               std::pair{&listings_before_, "listings"}}) {
      auto found =
          database_->query_integer("SELECT coalesce(max(rowid), 0) FROM " + std::string(table));
      if (!found.ok()) return found.error();
      *last = found.value();
    }
    return database_->execute("DELETE FROM temp.seen_rows; DELETE FROM temp.changed_prices");
  }

  // Ends a file: what is kept of the competitor's observations is brought up to date at once.
  Status finish() {
    return update_competitor_summaries(*database_, prices_before_, listings_before_);
  }

  // Writes `row` of line `line`; a DUPLICATE sets `first_line` to the line that had its key.
  Result<Change> write(const Row& row, std::uint64_t line, std::uint64_t& first_line) {
    const auto source_line = static_cast<std::int64_t>(line);
    if (const auto* listing = std::get_if<Listing>(&row)) {
      auto bind = [&](Statement& statement) {
        statement.bind_borrowed(1, listing->platform)
            .bind_borrowed(2, listing->sku_asin)
            .bind_borrowed(3, listing->seller_sku)
            .bind_borrowed(4, listing->title)
            .bind(5, listing->mrp_paise)
            .bind(6, listing->price_paise)
            .bind(7, listing->quantity)
            .bind_borrowed(8, listing->status)
            .bind_borrowed(9, listing->fulfillment)
            .bind(10, import_id_)
            .bind(11, source_line);
      };
      auto change = write(INSERT_LISTING, bind, 12, source_line, first_line);
      if (!change.ok() || change.value() == Change::DUPLICATE) return change;
      // Our price is observed at every import, changed or not; an incomplete listing has none.
      if (listing->price_paise) {
        Statement& observe = statements_[OBSERVE_OUR_PRICE];
        observe.bind_borrowed(1, listing->sku_asin)
            .bind_borrowed(2, listing->platform)
            .bind(3, now_)
            .bind(4, *listing->price_paise)
            .bind(5, import_id_)
            .bind(6, source_line);
        if (auto done = observe.run(); !done.ok()) return done.error();
      }
      return with_limits(change.value(), listing->sku_asin, listing->platform, listing->floor_paise,
                         listing->ceiling_paise, source_line);
    }
    if (const auto* generic = std::get_if<GenericMedicine>(&row)) {
      auto bind = [&](Statement& statement) {
        statement.bind_borrowed(1, generic->drug_code)
            .bind_borrowed(2, generic->generic_name)
            .bind_borrowed(3, generic->unit_size)
            .bind(4, generic->mrp_paise)
            .bind_borrowed(5, generic->group_name)
            .bind(6, std::int64_t{generic->surgical ? 1 : 0})
            .bind(7, import_id_)
            .bind(8, source_line);
      };
      return write(INSERT_GENERIC, bind, 9, source_line, first_line);
    }
    if (const auto* branded = std::get_if<BrandedMedicine>(&row)) {
      auto bind = [&](Statement& statement) {
        statement.bind_borrowed(1, branded->name)
            .bind_borrowed(2, branded->pack)
            .bind_borrowed(3, branded->salt_composition)
            .bind(4, branded->price_paise)
            .bind(5, import_id_)
            .bind(6, source_line);
      };
      return write(INSERT_BRANDED, bind, 7, source_line, first_line);
    }
    const auto& price = std::get<CompetitorPrice>(row);
    const std::int64_t observed_at = price.observed_at.value_or(now_);
    auto bind = [&](Statement& statement) {
      statement.bind_borrowed(1, price.sku_asin)
          .bind_borrowed(2, price.platform)
          .bind(3, observed_at)
          .bind(4, price.price_paise)
          .bind(5, import_id_)
          .bind(6, source_line);
    };
    auto change = write(INSERT_PRICE, bind, 7, source_line, first_line);
    if (!change.ok() || change.value() == Change::DUPLICATE) return change;
    return with_limits(change.value(), price.sku_asin, price.platform, price.floor_paise,
                       price.ceiling_paise, source_line);
  }

 private:
  // Each table's three statements, in this order: insert, find, update.
  enum : std::size_t {
    INSERT_LISTING,
    FIND_LISTING,
    UPDATE_LISTING,
    INSERT_PRICE,
    FIND_PRICE,
    UPDATE_PRICE,
    INSERT_GENERIC,
    FIND_GENERIC,
    UPDATE_GENERIC,
    INSERT_BRANDED,
    FIND_BRANDED,
    UPDATE_BRANDED,
    MARK_SEEN,
    OBSERVE_OUR_PRICE,
    SET_LIMITS,
    NOTE_CHANGED_PRICE
  };
  // A find gives the row's rowid, the line of this file that wrote or saw it (NULL for none) and
  // whether its values are those bound.
  static constexpr std::array<std::string_view, 16> STATEMENTS = {
      "INSERT INTO listings (platform, sku_asin, seller_sku, title, mrp_paise, price_paise, "
      "quantity, status, fulfillment, import_id, source_line) "
      "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11) "
      "ON CONFLICT (platform, sku_asin) DO NOTHING",
      "SELECT l.rowid, CASE WHEN l.import_id = ?10 THEN l.source_line ELSE s.line END, "
      "l.seller_sku IS ?3 AND l.title IS ?4 AND l.mrp_paise IS ?5 AND l.price_paise IS ?6 AND "
      "l.quantity IS ?7 AND l.status IS ?8 AND l.fulfillment IS ?9 "
      "FROM listings l LEFT JOIN temp.seen_rows s ON s.id = l.rowid AND s.line < ?11 "
      "WHERE l.platform = ?1 AND l.sku_asin = ?2",
      "UPDATE listings SET seller_sku = ?3, title = ?4, mrp_paise = ?5, price_paise = ?6, "
      "quantity = ?7, status = ?8, fulfillment = ?9, import_id = ?10, source_line = ?11 "
      "WHERE rowid = ?12",
      "INSERT INTO competitor_prices (sku_asin, platform, observed_at, price_paise, import_id, "
      "source_line) VALUES (?1, ?2, ?3, ?4, ?5, ?6) "
      "ON CONFLICT (sku_asin, platform, observed_at) DO NOTHING",
      "SELECT p.rowid, CASE WHEN p.import_id = ?5 THEN p.source_line ELSE s.line END, "
      "p.price_paise IS ?4 "
      "FROM competitor_prices p LEFT JOIN temp.seen_rows s ON s.id = p.rowid AND s.line < ?6 "
      "WHERE p.sku_asin = ?1 AND p.platform = ?2 AND p.observed_at = ?3",
      "UPDATE competitor_prices SET price_paise = ?4, import_id = ?5, source_line = ?6 "
      "WHERE rowid = ?7",
      "INSERT INTO jan_aushadhi_medicines (drug_code, generic_name, unit_size, mrp_paise, "
      "group_name, surgical, import_id, source_line) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8) "
      "ON CONFLICT (drug_code) DO NOTHING",
      "SELECT g.rowid, CASE WHEN g.import_id = ?7 THEN g.source_line ELSE s.line END, "
      "g.generic_name IS ?2 AND g.unit_size IS ?3 AND g.mrp_paise IS ?4 AND g.group_name IS ?5 "
      "AND g.surgical IS ?6 "
      "FROM jan_aushadhi_medicines g LEFT JOIN temp.seen_rows s ON s.id = g.rowid AND s.line < ?8 "
      "WHERE g.drug_code = ?1",
      "UPDATE jan_aushadhi_medicines SET generic_name = ?2, unit_size = ?3, mrp_paise = ?4, "
      "group_name = ?5, surgical = ?6, import_id = ?7, source_line = ?8 WHERE rowid = ?9",
      "INSERT INTO branded_medicines (name, pack, salt_composition, price_paise, import_id, "
      "source_line) VALUES (?1, ?2, ?3, ?4, ?5, ?6) ON CONFLICT (name, pack) DO NOTHING",
      "SELECT b.rowid, CASE WHEN b.import_id = ?5 THEN b.source_line ELSE s.line END, "
      "b.salt_composition IS ?3 AND b.price_paise IS ?4 "
      "FROM branded_medicines b LEFT JOIN temp.seen_rows s ON s.id = b.rowid AND s.line < ?6 "
      "WHERE b.name = ?1 AND b.pack = ?2",
      "UPDATE branded_medicines SET salt_composition = ?3, price_paise = ?4, import_id = ?5, "
      "source_line = ?6 WHERE rowid = ?7",
      "INSERT INTO temp.seen_rows (id, line) VALUES (?1, ?2)",
      // Two files of one import share its time: the later one's price is the observation.
      "INSERT INTO our_prices (sku_asin, platform, observed_at, price_paise, import_id, "
      "source_line) VALUES (?1, ?2, ?3, ?4, ?5, ?6) "
      "ON CONFLICT (sku_asin, platform, observed_at) DO UPDATE SET "
      "price_paise = excluded.price_paise, import_id = excluded.import_id, "
      "source_line = excluded.source_line",
      // A limit not given is left as it was; a row that changes neither changes nothing.
      "INSERT INTO price_limits (sku_asin, platform, floor_paise, ceiling_paise, import_id, "
      "source_line) VALUES (?1, ?2, ?3, ?4, ?5, ?6) "
      "ON CONFLICT (sku_asin, platform) DO UPDATE SET "
      "floor_paise = coalesce(excluded.floor_paise, floor_paise), "
      "ceiling_paise = coalesce(excluded.ceiling_paise, ceiling_paise), "
      "import_id = excluded.import_id, source_line = excluded.source_line "
      "WHERE floor_paise IS NOT coalesce(excluded.floor_paise, floor_paise) "
      "OR ceiling_paise IS NOT coalesce(excluded.ceiling_paise, ceiling_paise)",
      "INSERT INTO temp.changed_prices SELECT sku_asin, platform, observed_at "
      "FROM competitor_prices WHERE rowid = ?1",
  };

  RowWriter(Database& database, std::vector<Statement> statements)
      : database_(&database), statements_(std::move(statements)) {}

  // Inserts the row `bind` binds through statement `insert`; when its key is taken, finds the row
  // with the next statement and updates it with the one after (its rowid bound to `rowid_index`),
  // unless this file wrote or saw it before or its values are the same.
  template <typename Bind>
  Result<Change> write(std::size_t insert, const Bind& bind, int rowid_index,
                       std::int64_t source_line, std::uint64_t& first_line) {
    Statement& add = statements_[insert];
    bind(add);
    if (auto done = add.run(); !done.ok()) return done.error();
    if (database_->changes() == 1) return Change::ADDED;

    Statement& find = statements_[insert + 1];
    bind(find);
    auto found = find.step();
    if (!found.ok()) return found.error();
    if (!found.value()) {
      find.reset();
      return Error{database_->path() + ": a row's key is taken, yet no row has it"};
    }
    const std::int64_t rowid = find.integer(0);
    const std::optional<std::int64_t> earlier_line = find.optional_integer(1);
    const bool same = find.integer(2) != 0;
    find.reset();
    if (earlier_line) {
      first_line = static_cast<std::uint64_t>(*earlier_line);
      return Change::DUPLICATE;
    }
    if (same) {
      Statement& mark = statements_[MARK_SEEN];
      if (auto done = mark.bind(1, rowid).bind(2, source_line).run(); !done.ok()) {
        return done.error();
      }
      return Change::UNCHANGED;
    }
    Statement& update = statements_[insert + 2];
    bind(update);
    if (auto done = update.bind(rowid_index, rowid).run(); !done.ok()) return done.error();
    if (insert == INSERT_PRICE) {
      if (auto noted = statements_[NOTE_CHANGED_PRICE].bind(1, rowid).run(); !noted.ok()) {
        return noted.error();
      }
    }
    return Change::UPDATED;
  }

  // Writes a row's floor and ceiling, when it gives either; a row otherwise unchanged whose
  // limits changed is UPDATED.
  Result<Change> with_limits(Change change, const std::string& sku_asin,
                             const std::string& platform, const std::optional<std::int64_t>& floor,
                             const std::optional<std::int64_t>& ceiling, std::int64_t source_line) {
    if (!floor && !ceiling) return change;
    Statement& limits = statements_[SET_LIMITS];
    limits.bind(1, sku_asin)
        .bind(2, platform)
        .bind(3, floor)
        .bind(4, ceiling)
        .bind(5, import_id_)
        .bind(6, source_line);
    if (auto done = limits.run(); !done.ok()) return done.error();
    return change == Change::UNCHANGED && database_->changes() == 1 ? Change::UPDATED : change;
  }

  Database* database_;
  std::vector<Statement> statements_;
  std::int64_t import_id_ = 0;
  std::int64_t now_ = 0;
  std::int64_t prices_before_ = 0;
  std::int64_t listings_before_ = 0;
};

// One import's connection, statements and settings.
struct Context {
  Database& database;
  RowWriter& writer;
  const std::filesystem::path& folder;
  const ImportOptions& options;
  std::int64_t now;
};

void add_reject(FileReport& report, RejectsFile* rejects, RowIssue row) {
  ++report.rejected;
  if (rejects != nullptr) rejects->add(row);
  if (report.first_rejects.size() < FIRST_ISSUES) report.first_rejects.push_back(std::move(row));
}

// Imports one file read from `in`; the file's own failures go into `report`, the store's are
// returned.
Status import_file(Context& context, std::istream& in, FileReport& report) {
  auto facts = inspect_file(in, report.name);
  if (!facts.ok()) {
    report.error = facts.error().message;
    return Done{};
  }
  if (facts.value().size == 0) {
    report.error = report.name + " is empty";
    return Done{};
  }
  report.windows_1252 = facts.value().encoding == Encoding::WINDOWS_1252;

  Database& database = context.database;
  // Asked before the file is read, and again under the write lock: another import of the same
  // file may have committed meanwhile.
  auto earlier = database.prepare("SELECT imported_at FROM imports WHERE sha256 = ?1");
  if (!earlier.ok()) return earlier.error();
  auto imported_before = [&]() -> Result<bool> {
    Statement& statement = earlier.value();
    statement.reset();
    auto found = statement.bind(1, facts.value().sha256).step();
    if (!found.ok()) return found.error();
    if (found.value()) {
      report.outcome = FileOutcome::ALREADY_IMPORTED;
      report.imported_at = statement.integer(0);
    }
    statement.reset();
    return found.value();
  };
  auto before = imported_before();
  if (!before.ok()) return before.error();
  if (before.value()) return Done{};

  in.clear();
  in.seekg(0);
  CsvReader reader(in, facts.value().encoding);
  CsvRecord record;
  if (!reader.next(record)) {
    report.error = report.name + " has no header line";
    return Done{};
  }
  auto recognised = recognise(record.fields);
  if (!recognised) {
    std::string header;
    for (const std::string& name : record.fields) {
      if (!header.empty()) header += reader.separator() == '\t' ? "<tab>" : ",";
      header += name;
    }
    report.error = report.name + " is none of the files this program reads (" + known_kinds() +
                   "); its header line is: " + shown(header);
    return Done{};
  }
  report.kind = recognised->kind;
  const std::size_t columns = record.fields.size();

  const auto& progress = context.options.progress;
  if (progress) progress(0, facts.value().size);
  auto transaction = Transaction::begin(database);
  if (!transaction.ok()) return transaction.error();
  before = imported_before();
  if (!before.ok()) return before.error();
  if (before.value()) return Done{};
  auto insert = database.prepare(
      "INSERT INTO imports (sha256, file_name, kind, imported_at) VALUES (?1, ?2, ?3, ?4)");
  if (!insert.ok()) return insert.error();
  if (auto done = insert.value()
                      .bind(1, facts.value().sha256)
                      .bind(2, report.name)
                      .bind(3, report.kind)
                      .bind(4, context.now)
                      .run();
      !done.ok()) {
    return done.error();
  }
  const std::int64_t import_id = database.last_insert_id();
  if (auto started = context.writer.start(import_id, context.now); !started.ok()) {
    return started.error();
  }

  std::optional<RejectsFile> rejects;
  if (!context.options.dry_run) rejects.emplace(context.folder, facts.value().sha256);
  RejectsFile* rejects_file = rejects ? &*rejects : nullptr;
  while (reader.next(record)) {
    ++report.read;
    if (progress && report.read % PROGRESS_EVERY == 0)
      progress(reader.bytes_read(), facts.value().size);
    if (!record.problem.empty()) {
      add_reject(report, rejects_file, {record.line, {"", "", record.problem}});
      continue;
    }
    if (record.fields.size() != columns) {
      add_reject(report, rejects_file,
                 {record.line,
                  {"", "",
                   std::to_string(record.fields.size()) + " fields where the header has " +
                       std::to_string(columns)}});
      continue;
    }
    RowReading reading = recognised->reader->read(record.fields);
    if (!reading.row) {
      add_reject(report, rejects_file, {record.line, std::move(*reading.issue)});
      continue;
    }
    std::uint64_t first_line = 0;
    auto change = context.writer.write(*reading.row, record.line, first_line);
    if (!change.ok()) return change.error();
    switch (change.value()) {
      case Change::ADDED:
        ++report.added;
        break;
      case Change::UPDATED:
        ++report.updated;
        break;
      case Change::UNCHANGED:
        ++report.unchanged;
        break;
      case Change::DUPLICATE:
        add_reject(
            report, rejects_file,
            {record.line,
             {"", "",
              "a second row for the same item, first on line " + std::to_string(first_line)}});
        continue;
    }
    if (reading.issue) {
      ++report.noted;
      if (report.first_notes.size() < FIRST_ISSUES) {
        report.first_notes.push_back({record.line, std::move(*reading.issue)});
      }
    }
  }
  if (progress) progress(facts.value().size, facts.value().size);

  auto finish_rejects = [&]() -> Status {
    if (!rejects) return Done{};
    auto written = rejects->finish();
    if (!written.ok()) return written.error();
    report.rejects_file = written.value();
    return Done{};
  };
  if (context.options.strict && report.rejected > 0) {
    report.error = report.name + ": " + std::to_string(report.rejected) +
                   " rows rejected, and --strict takes a file whole or not at all: nothing of it "
                   "was imported";
    return finish_rejects();
  }
  if (auto finished = context.writer.finish(); !finished.ok()) return finished.error();
  auto counts = database.prepare(
      "UPDATE imports SET rows_read = ?2, rows_added = ?3, rows_updated = ?4, rows_unchanged = ?5, "
      "rows_rejected = ?6 WHERE id = ?1");
  if (!counts.ok()) return counts.error();
  if (auto done = counts.value()
                      .bind(1, import_id)
                      .bind(2, static_cast<std::int64_t>(report.read))
                      .bind(3, static_cast<std::int64_t>(report.added))
                      .bind(4, static_cast<std::int64_t>(report.updated))
                      .bind(5, static_cast<std::int64_t>(report.unchanged))
                      .bind(6, static_cast<std::int64_t>(report.rejected))
                      .run();
      !done.ok()) {
    return done.error();
  }
  if (context.options.dry_run) {
    report.outcome = FileOutcome::CHECKED;
    return Done{};  // the transaction's end rolls everything back
  }
  if (auto committed = transaction.value().commit(); !committed.ok()) return committed.error();
  report.outcome = FileOutcome::IMPORTED;
  return finish_rejects();
}

// Copies standard input to a temporary file, which the import reads twice (once for its SHA-256
// and its encoding, once for its rows); removed by the destructor.
class SpooledInput {
 public:
  SpooledInput() {
    std::random_device random;
    path_ = std::filesystem::temp_directory_path() /
            ("quillon_market_radar-" + std::to_string(random()) + std::to_string(random()));
  }
  SpooledInput(const SpooledInput&) = delete;
  SpooledInput& operator=(const SpooledInput&) = delete;
  // The copy is closed first: Windows removes no file that is open.
  ~SpooledInput() {
    stream_.close();
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
  }

  // Returns the stream of the copy, or an error.
  Result<std::ifstream*> copy(std::istream& in) {
    {
      std::ofstream out(path_, std::ios::binary | std::ios::trunc);
      out << in.rdbuf();
      if (!out || in.bad())
        return Error{"standard input could not be copied to " + path_text(path_)};
    }
    stream_.open(path_, std::ios::binary);
    if (!stream_) return Error{"standard input could not be copied to " + path_text(path_)};
    return &stream_;
  }

 private:
  std::filesystem::path path_;
  std::ifstream stream_;
};

}  // namespace

bool ImportReport::all_imported() const {
  for (const FileReport& file : files) {
    if (file.outcome == FileOutcome::FAILED) return false;
  }
  return true;
}

Result<Database> open_for_import(const std::filesystem::path& folder, bool dry_run) {
  std::error_code ignored;
  if (dry_run && !std::filesystem::exists(folder / STORE_FILE_NAME, ignored)) {
    return open_memory_store();
  }
  return open_store(folder);
}

Result<ImportReport> import_files(Database& database, const std::filesystem::path& folder,
                                  const std::vector<std::string>& files,
                                  const ImportOptions& options) {
  auto writer = RowWriter::prepare(database);
  if (!writer.ok()) return writer.error();
  Context context{database, writer.value(), folder, options,
                  options.now != 0 ? options.now : clock_now()};
  ImportReport report;
  for (const std::string& file : files) {
    FileReport& file_report = report.files.emplace_back();
    std::ifstream named;
    std::istream* in = nullptr;
    SpooledInput spooled;
    if (file == STANDARD_INPUT) {
      file_report.name = "standard input";
      auto copied =
          spooled.copy(options.standard_input != nullptr ? *options.standard_input : std::cin);
      if (!copied.ok()) {
        file_report.error = copied.error().message;
        continue;
      }
      in = copied.value();
    } else {
      file_report.name = file;
      named.open(std::filesystem::u8path(file), std::ios::binary);
      if (!named) {
        file_report.error = file + " cannot be opened";
        continue;
      }
      in = &named;
    }
    if (auto done = import_file(context, *in, file_report); !done.ok()) return done.error();
  }
  return report;
}

ImportSummary summarise(const ImportReport& report) {
  ImportSummary summary;
  auto issue_line = [](const RowIssue& row, std::string_view remark) {
    std::string line = "  line " + std::to_string(row.line);
    if (!row.issue.column.empty()) line += ", column \"" + shown(row.issue.column) + "\"";
    if (!row.issue.column.empty() || !row.issue.value.empty()) {
      line += ", value \"" + shown(row.issue.value) + "\"";
    }
    return line + ": " + std::string(remark) + row.issue.reason + "\n";
  };
  for (const FileReport& file : report.files) {
    if (file.outcome == FileOutcome::ALREADY_IMPORTED) {
      summary.out += file.name + ": already imported at " + utc_text(file.imported_at) +
                     " (the same SHA-256); nothing to do\n";
      continue;
    }
    if (file.outcome == FileOutcome::FAILED) summary.err += file.error + "\n";
    if (file.kind.empty()) continue;
    summary.out += file.name +
                   (file.outcome == FileOutcome::CHECKED ? " (dry run, nothing written)" : "") +
                   ": " + file.kind + ", " + std::to_string(file.read) +
                   " rows read: " + std::to_string(file.added) + " added, " +
                   std::to_string(file.updated) + " updated, " + std::to_string(file.unchanged) +
                   " unchanged, " + std::to_string(file.rejected) + " rejected\n";
    if (file.windows_1252) summary.out += "  read as Windows-1252: the file is not valid UTF-8\n";
    for (const RowIssue& row : file.first_rejects) summary.out += issue_line(row, "");
    if (file.rejected > file.first_rejects.size()) {
      summary.out +=
          "  and " + std::to_string(file.rejected - file.first_rejects.size()) + " more rejects\n";
    }
    if (!file.rejects_file.empty()) summary.out += "  every reject: " + file.rejects_file + "\n";
    for (const RowIssue& row : file.first_notes) summary.out += issue_line(row, "kept, but ");
    if (file.noted > file.first_notes.size()) {
      summary.out += "  and " + std::to_string(file.noted - file.first_notes.size()) +
                     " more rows kept with a remark\n";
    }
  }
  return summary;
}

std::string neutralise_cell(std::string_view text) {
  if (!text.empty() && std::string_view("=+-@\t\r").find(text.front()) != std::string_view::npos) {
    return "'" + std::string(text);
  }
  return std::string(text);
}

std::function<void(std::uint64_t, std::uint64_t)> progress_bar(bool terminal) {
  if (!terminal) return {};
  return [](std::uint64_t done, std::uint64_t total) {
    constexpr std::uint64_t LARGE_FILE_BYTES = 1 << 20;
    constexpr std::uint64_t WIDTH = 40;
    if (total < LARGE_FILE_BYTES) return;
    const std::uint64_t filled = done * WIDTH / total;
    std::string bar = "\r[" + std::string(filled, '#') + std::string(WIDTH - filled, '.') + "] " +
                      std::to_string(done * 100 / total) + "%";
    // The finished bar is erased: the summary follows on standard output.
    if (done >= total) bar = "\r" + std::string(bar.size(), ' ') + "\r";
    std::fputs(bar.c_str(), stderr);
    std::fflush(stderr);
  };
}

}  // namespace qmr::store
