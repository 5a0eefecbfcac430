#include "store/sqlite.hpp"

#include <sqlite3.h>

#include <array>
#include <climits>

namespace qmr::store {

namespace {

// What a failure of each of SQLite's primary result codes means for the store's file, in words;
// the rest keep SQLite's own text.
constexpr std::pair<int, std::string_view> PHRASES[] = {
    {SQLITE_NOTADB, "is not a SQLite database"},
    {SQLITE_CORRUPT, "is corrupt"},
    {SQLITE_READONLY, "is read-only"},
    {SQLITE_FULL, "cannot grow: the disk is full"},
    {SQLITE_CANTOPEN, "cannot be opened"},
    {SQLITE_IOERR, "could not be read or written"},
    {SQLITE_BUSY, "is locked by another program"},
    {SQLITE_LOCKED, "is locked by another program"},
    {SQLITE_NOMEM, "cannot be used: memory ran out"},
};

// Returns the URI of the file at `path` opened as immutable: every byte but the unreserved ones
// and "/" percent-encoded, so that no "?", "#" or "%" of a name is read as part of the URI.
std::string immutable_uri(std::string_view path) {
  constexpr std::string_view HEX = "0123456789ABCDEF";
  std::string uri = "file:";
  for (const char c : path) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
        (byte >= '0' && byte <= '9') || c == '-' || c == '.' || c == '_' || c == '~' || c == '/') {
      uri += c;
    } else {
      uri += '%';
      uri += HEX[byte >> 4];
      uri += HEX[byte & 0xF];
    }
  }
  return uri + "?immutable=1";
}

}  // namespace

Result<Database> Database::open(const std::string& path, OpenMode mode) {
  // Counting SQLite's memory takes a lock of the whole process at every allocation, and nothing
  // here reads the count. Set once, before the first connection starts SQLite.
  [[maybe_unused]] static const int unmetered = sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
  // The flags of each mode, in OpenMode's order. Without a write-ahead log's index file beside
  // it, which a folder that may not be written cannot take, SQLite reads an immutable file only
  // when told through its URI that nothing changes it.
  constexpr int FLAGS[] = {SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                           SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_MEMORY,
                           SQLITE_OPEN_READONLY, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI};
  const int flags = SQLITE_OPEN_NOMUTEX | FLAGS[static_cast<int>(mode)];
  const std::string name = mode == OpenMode::MEMORY      ? ":memory:"
                           : mode == OpenMode::IMMUTABLE ? immutable_uri(path)
                                                         : path;
  sqlite3* db = nullptr;
  const int code = sqlite3_open_v2(name.c_str(), &db, flags, nullptr);
  Database database(db, path);
  if (code != SQLITE_OK) {
    if (db == nullptr) return Error{path + ": cannot be used: memory ran out"};
    return database.error_of(code);
  }
  sqlite3_extended_result_codes(db, 1);
  return database;
}

void Database::Close::operator()(sqlite3* db) const { sqlite3_close_v2(db); }

Status Database::execute(std::string_view sql) {
  // sqlite3_exec needs a terminated string; fixed texts are short.
  const std::string text(sql);
  const int code = sqlite3_exec(db_.get(), text.c_str(), nullptr, nullptr, nullptr);
  if (code != SQLITE_OK) return error_of(code);
  return Done{};
}

Result<Statement> Database::prepare(std::string_view sql) {
  sqlite3_stmt* statement = nullptr;
  const int code = sqlite3_prepare_v3(db_.get(), sql.data(), static_cast<int>(sql.size()),
                                      SQLITE_PREPARE_PERSISTENT, &statement, nullptr);
  if (code != SQLITE_OK) return error_of(code);
  return Statement(*this, statement);
}

Result<std::int64_t> Database::query_integer(std::string_view sql) {
  auto statement = prepare(sql);
  if (!statement.ok()) return statement.error();
  auto row = statement.value().step();
  if (!row.ok()) return row.error();
  if (!row.value()) return Error{path_ + ": no answer to " + std::string(sql)};
  return statement.value().integer(0);
}

std::int64_t Database::last_insert_id() { return sqlite3_last_insert_rowid(db_.get()); }

std::int64_t Database::changes() { return sqlite3_changes64(db_.get()); }

bool Database::read_only() const { return sqlite3_db_readonly(db_.get(), "main") == 1; }

namespace {

// Calls the predicate a function was defined with on its arguments' texts.
void call_predicate(sqlite3_context* context, int count, sqlite3_value** values) {
  const auto predicate = *static_cast<const Database::Predicate*>(sqlite3_user_data(context));
  std::array<std::string_view, Database::MAX_PREDICATE_ARGUMENTS> texts;
  for (int i = 0; i < count; ++i) {
    const unsigned char* text = sqlite3_value_text(values[i]);
    if (text == nullptr && sqlite3_value_type(values[i]) != SQLITE_NULL) {
      sqlite3_result_error_nomem(context);
      return;
    }
    if (text != nullptr) {
      texts[static_cast<std::size_t>(i)] = {
          reinterpret_cast<const char*>(text),
          static_cast<std::size_t>(sqlite3_value_bytes(values[i]))};
    }
  }
  sqlite3_result_int(context, predicate(std::span(texts).first(static_cast<std::size_t>(count))));
}

}  // namespace

Status Database::define_predicate(const char* name, int arguments, Predicate predicate) {
  if (arguments < 0 || arguments > MAX_PREDICATE_ARGUMENTS) {
    return Error{path_ + ": a predicate takes at most " + std::to_string(MAX_PREDICATE_ARGUMENTS) +
                 " texts"};
  }
  // SQLite keeps the pointer until the connection closes, then hands it to the destructor.
  auto* kept = new Predicate(predicate);
  const int code = sqlite3_create_function_v2(
      db_.get(), name, arguments, SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_INNOCUOUS, kept,
      call_predicate, nullptr, nullptr,
      [](void* pointer) { delete static_cast<Predicate*>(pointer); });
  if (code != SQLITE_OK) return error_of(code);
  return Done{};
}

Error Database::error_of(int code) const {
  const std::string detail = db_ != nullptr && sqlite3_errcode(db_.get()) == (code & 0xff)
                                 ? sqlite3_errmsg(db_.get())
                                 : sqlite3_errstr(code);
  for (const auto& [primary, phrase] : PHRASES) {
    if (primary == (code & 0xff)) {
      return Error{path_ + " " + std::string(phrase) + " (" + detail + ")"};
    }
  }
  return Error{path_ + ": " + detail};
}

void Statement::Finalize::operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }

Statement& Statement::note_bind(int code) {
  if (code != SQLITE_OK && bind_failure_ == 0) bind_failure_ = code;
  return *this;
}

Statement& Statement::bind(int index, std::string_view text) {
  return bind_text(index, text, SQLITE_TRANSIENT);
}

Statement& Statement::bind_borrowed(int index, std::string_view text) {
  return bind_text(index, text, SQLITE_STATIC);
}

Statement& Statement::bind_text(int index, std::string_view text, void (*lifetime)(void*)) {
  // Longer text than an int can measure is refused by SQLite's own limit long before; say so.
  if (text.size() > static_cast<std::size_t>(INT_MAX)) return note_bind(SQLITE_TOOBIG);
  return note_bind(sqlite3_bind_text(statement_.get(), index, text.data(),
                                     static_cast<int>(text.size()), lifetime));
}

Statement& Statement::bind(int index, std::int64_t value) {
  return note_bind(sqlite3_bind_int64(statement_.get(), index, value));
}

Statement& Statement::bind(int index, const std::optional<std::int64_t>& value) {
  if (value) return bind(index, *value);
  return note_bind(sqlite3_bind_null(statement_.get(), index));
}

Result<bool> Statement::step() {
  if (bind_failure_ != 0) {
    const int code = std::exchange(bind_failure_, 0);
    sqlite3_reset(statement_.get());
    return database_->error_of(code);
  }
  const int code = sqlite3_step(statement_.get());
  if (code == SQLITE_ROW) return true;
  if (code == SQLITE_DONE) return false;
  // The statement's error is the connection's last one; reset so the handle may run again.
  Error error = database_->error_of(code);
  sqlite3_reset(statement_.get());
  return error;
}

Status Statement::run() {
  for (;;) {
    auto row = step();
    if (!row.ok()) return row.error();
    if (!row.value()) break;
  }
  reset();
  return Done{};
}

void Statement::reset() {
  sqlite3_reset(statement_.get());
  sqlite3_clear_bindings(statement_.get());
}

int Statement::column_count() const { return sqlite3_column_count(statement_.get()); }

bool Statement::is_null(int index) const {
  return sqlite3_column_type(statement_.get(), index) == SQLITE_NULL;
}

std::int64_t Statement::integer(int index) const {
  return sqlite3_column_int64(statement_.get(), index);
}

std::optional<std::int64_t> Statement::optional_integer(int index) const {
  if (is_null(index)) return std::nullopt;
  return integer(index);
}

std::string_view Statement::text(int index) const {
  const auto* bytes = sqlite3_column_text(statement_.get(), index);
  if (bytes == nullptr) return {};
  return {reinterpret_cast<const char*>(bytes),
          static_cast<std::size_t>(sqlite3_column_bytes(statement_.get(), index))};
}

Result<Transaction> Transaction::begin(Database& database) {
  auto begun = database.execute("BEGIN IMMEDIATE");
  if (!begun.ok()) return begun.error();
  return Transaction(database);
}

Result<Transaction> Transaction::begin_reading(Database& database) {
  auto begun = database.execute("BEGIN");
  if (!begun.ok()) return begun.error();
  return Transaction(database);
}

// A failed rollback leaves SQLite's own automatic one (on the next statement, or at close);
// nothing else can be done on this path.
void Transaction::RollBack::operator()(Database* database) const {
  sqlite3_exec(database->handle(), "ROLLBACK", nullptr, nullptr, nullptr);
}

Status Transaction::commit() {
  Database* database = database_.release();
  auto committed = database->execute("COMMIT");
  if (!committed.ok()) {
    // A failed COMMIT (a full disk, say) may leave the transaction open: end it.
    if (sqlite3_get_autocommit(database->handle()) == 0) {
      sqlite3_exec(database->handle(), "ROLLBACK", nullptr, nullptr, nullptr);
    }
    return committed.error();
  }
  return Done{};
}

}  // namespace qmr::store
