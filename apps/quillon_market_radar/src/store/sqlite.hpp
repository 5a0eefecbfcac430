// The store's own thin layer over SQLite's C API: a connection, a prepared statement whose values
// are bound, never pasted into its text, and a transaction that rolls back unless committed. Each
// releases its handle in its destructor; every failure is an Error whose message names the file
// and says in words what went wrong (not SQLite, corrupt, read-only, full disk).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "base/result.hpp"

struct sqlite3;
struct sqlite3_stmt;

namespace qmr::store {

class Statement;

/// How a connection is opened.
enum class OpenMode {
  READ_WRITE,  // an existing file or a new one, for reading and writing
  MEMORY,      // a private database in memory, gone when closed
  READ_ONLY,   // an existing file, for reading only
  IMMUTABLE,   // an existing file that nothing writes while it is open (a read-only folder)
};

/// One connection to a database file, closed by its destructor.
class Database {
 public:
  /// Returns a connection to the database at `path`, created when missing, or an error naming it.
  [[nodiscard]] static Result<Database> open(const std::string& path, OpenMode mode);

  /// Runs `sql`, fixed text of this program with no values in it, to its end; its rows are
  /// dropped. Returns the first failure.
  [[nodiscard]] Status execute(std::string_view sql);
  /// Returns `sql` prepared, or an error.
  [[nodiscard]] Result<Statement> prepare(std::string_view sql);
  /// Returns the first column of the first row of `sql` as an integer, or an error when it fails
  /// or gives no row.
  [[nodiscard]] Result<std::int64_t> query_integer(std::string_view sql);
  /// Returns the rowid of the last row inserted.
  [[nodiscard]] std::int64_t last_insert_id();
  /// Returns how many rows the last INSERT, UPDATE or DELETE changed.
  [[nodiscard]] std::int64_t changes();
  /// Returns whether the file is open only for reading (its permissions, or its medium).
  [[nodiscard]] bool read_only() const;

  /// A test of texts, for SQL to call; a NULL argument arrives as an empty text.
  using Predicate = bool (*)(std::span<const std::string_view> texts);
  /// The most arguments a predicate takes.
  static constexpr int MAX_PREDICATE_ARGUMENTS = 8;
  /// Makes `predicate` callable from this connection's SQL as `name` with `arguments` texts, as a
  /// deterministic function that reads nothing but them (1 for true, 0 for false).
  [[nodiscard]] Status define_predicate(const char* name, int arguments, Predicate predicate);

  /// Returns the error of result code `code` on this connection, as "PATH: WHAT" in words.
  [[nodiscard]] Error error_of(int code) const;
  /// Returns the path it was opened with.
  [[nodiscard]] const std::string& path() const { return path_; }
  /// Returns the C handle, for the few calls this layer does not wrap.
  [[nodiscard]] sqlite3* handle() { return db_.get(); }

 private:
  // close_v2 defers the close until the last statement is finalised, so the order in which a
  // scope's handles end does not matter.
  struct Close {
    void operator()(sqlite3* db) const;
  };
  Database(sqlite3* db, std::string path) : db_(db), path_(std::move(path)) {}
  std::unique_ptr<sqlite3, Close> db_;
  std::string path_;
};

/// A prepared statement; values are bound to its parameters by position (1-based), and a failed
/// bind is reported by the next `step`.
class Statement {
 public:
  /// Binds text (copied by SQLite), an integer, or NULL for an empty optional.
  Statement& bind(int index, std::string_view text);
  Statement& bind(int index, std::int64_t value);
  Statement& bind(int index, const std::optional<std::int64_t>& value);
  /// Binds text without a copy: `text` must stay as it is until the statement is reset.
  Statement& bind_borrowed(int index, std::string_view text);

  /// Runs the statement one step: true when a row is there to read, false when it is done.
  [[nodiscard]] Result<bool> step();
  /// Runs the statement to its end and makes it ready to run again with new values.
  [[nodiscard]] Status run();
  /// Makes the statement ready to run again; its bound values are cleared.
  void reset();

  /// Returns how many columns its rows have.
  [[nodiscard]] int column_count() const;
  /// The current row's column `index` (0-based): NULL, an integer, or text ("" for NULL).
  [[nodiscard]] bool is_null(int index) const;
  [[nodiscard]] std::int64_t integer(int index) const;
  [[nodiscard]] std::optional<std::int64_t> optional_integer(int index) const;
  [[nodiscard]] std::string_view text(int index) const;

 private:
  friend class Database;
  struct Finalize {
    void operator()(sqlite3_stmt* statement) const;
  };
  Statement(Database& database, sqlite3_stmt* statement)
      : database_(&database), statement_(statement) {}
  // Keeps the first failure of a bind, for the next `step` to report.
  Statement& note_bind(int code);
  // Binds `text`, copied by SQLite (SQLITE_TRANSIENT) or borrowed (SQLITE_STATIC) per `lifetime`.
  Statement& bind_text(int index, std::string_view text, void (*lifetime)(void*));
  Database* database_ = nullptr;
  std::unique_ptr<sqlite3_stmt, Finalize> statement_;
  int bind_failure_ = 0;
};

/// A write transaction (BEGIN IMMEDIATE: the write lock taken at once, so a second writer waits
/// at the start rather than failing in the middle), or a read transaction (BEGIN: every read in it
/// sees the store as one moment left it). Rolled back by the destructor unless committed.
class Transaction {
 public:
  /// Begins a write transaction on `database`, or returns why it could not.
  [[nodiscard]] static Result<Transaction> begin(Database& database);
  /// Begins a read transaction on `database`, or returns why it could not.
  [[nodiscard]] static Result<Transaction> begin_reading(Database& database);

  Transaction(Transaction&& other) noexcept = default;
  Transaction& operator=(Transaction&&) = delete;

  /// Commits; on failure the transaction is rolled back and the error returned.
  [[nodiscard]] Status commit();

 private:
  struct RollBack {
    void operator()(Database* database) const;
  };
  explicit Transaction(Database& database) : database_(&database) {}
  std::unique_ptr<Database, RollBack> database_;
};

}  // namespace qmr::store
