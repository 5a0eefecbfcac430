// The import of a seller's files into the store: each file told by its header, read through its
// kind's reader and written in one transaction (all its good rows, or nothing), known again by its
// SHA-256; every rejected row counted, the first few kept for the summary and all written to a
// rejects CSV beside the store.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <istream>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.hpp"
#include "store/readers.hpp"
#include "store/sqlite.hpp"

namespace qmr::store {

/// How many rejects, and notes, a file's report keeps for the summary.
inline constexpr std::size_t FIRST_ISSUES = 5;
/// The name that stands for standard input among the files.
inline constexpr std::string_view STANDARD_INPUT = "-";

/// How an import runs.
struct ImportOptions {
  bool dry_run = false;  // read and check every file, write nothing
  bool strict = false;   // a file with any reject is not imported at all
  /// Called with 0 and the current file's size when its rows are about to be read, then now and
  /// then with the bytes read, and with its size at its end; may be empty.
  std::function<void(std::uint64_t done, std::uint64_t total)> progress;
  /// The import's time in microseconds since 1970 UTC; 0 takes the clock's.
  std::int64_t now = 0;
  /// What "-" reads; null is the process's standard input.
  std::istream* standard_input = nullptr;
};

/// A row rejected, or kept with a remark: its line in the file and what was found.
struct RowIssue {
  std::uint64_t line = 0;
  FieldIssue issue;
};

/// What became of one file.
enum class FileOutcome {
  IMPORTED,          // its good rows are in the store
  CHECKED,           // read in a dry run; nothing written
  ALREADY_IMPORTED,  // a file of the same SHA-256 was imported before; nothing done
  FAILED,            // not imported: `error` says why
};

/// The report of one file.
struct FileReport {
  std::string name;
  FileOutcome outcome = FileOutcome::FAILED;
  std::string kind;   // empty until its header was recognised
  std::string error;  // FAILED: why, in one line
  bool windows_1252 = false;
  std::uint64_t read = 0;
  std::uint64_t added = 0;
  std::uint64_t updated = 0;
  std::uint64_t unchanged = 0;
  std::uint64_t rejected = 0;
  std::uint64_t noted = 0;
  std::vector<RowIssue> first_rejects;  // the first FIRST_ISSUES
  std::vector<RowIssue> first_notes;    // the first FIRST_ISSUES
  std::string rejects_file;             // where every reject was written, when any were
  std::int64_t imported_at = 0;         // ALREADY_IMPORTED: when, microseconds since 1970 UTC
};

/// The report of one import, a file after another.
struct ImportReport {
  std::vector<FileReport> files;
  /// Returns whether no file failed.
  [[nodiscard]] bool all_imported() const;
};

/// Returns the store an import writes to: the one in `folder` (open_store), or for a dry run
/// without one an empty store in memory, so that no folder is made.
[[nodiscard]] Result<Database> open_for_import(const std::filesystem::path& folder, bool dry_run);

/// Imports `files` (STANDARD_INPUT for standard input) into `store`, in order; rejects files go
/// into `folder`, beside it. A file that cannot be read or taken is reported as FAILED and the next
/// one is taken. An error of the store itself (corrupt, read-only, a full disk) ends the import and
/// is returned: the files before it stay imported, the one it met is left out whole.
[[nodiscard]] Result<ImportReport> import_files(Database& store,
                                                const std::filesystem::path& folder,
                                                const std::vector<std::string>& files,
                                                const ImportOptions& options);

/// The summary of an import: lines for standard output, and one line per failed file for
/// standard error.
struct ImportSummary {
  std::string out;
  std::string err;
};

/// Returns the summary of `report`.
[[nodiscard]] ImportSummary summarise(const ImportReport& report);

/// Returns `text` as a spreadsheet takes it for data, never for a formula: with a leading ' when
/// it begins with =, +, -, @, a tab or a carriage return.
[[nodiscard]] std::string neutralise_cell(std::string_view text);

/// Returns the progress callback that draws a bar on standard error for files of 1 MiB or more
/// when `terminal`, else an empty one.
[[nodiscard]] std::function<void(std::uint64_t, std::uint64_t)> progress_bar(bool terminal);

}  // namespace qmr::store
