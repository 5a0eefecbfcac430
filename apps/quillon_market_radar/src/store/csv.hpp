// The one CSV grammar every file reader of the store reads through: RFC 4180 quoting (separators,
// quotes and line breaks inside quotes), CRLF or LF, tab or comma as the header line shows, a
// bound on a record's bytes and fields; UTF-8 with or without a byte-order mark, or Windows-1252
// decoded to UTF-8 when the file is not valid UTF-8. UTF-16 is refused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <string>
#include <vector>

#include "base/result.hpp"

namespace qmr::store {

/// How a file's bytes are read.
enum class Encoding { UTF8, WINDOWS_1252 };

/// What one pass over a whole file finds before any of it is read as records.
struct FileFacts {
  std::string sha256;      // of every byte, the byte-order mark included
  std::uint64_t size = 0;  // bytes
  Encoding encoding = Encoding::UTF8;
};

/// Returns the facts of the file `in` holds, read to its end, or an error for a file that is
/// UTF-16 (how to save it as UTF-8 is said) or that cannot be read. `name` names it in messages.
[[nodiscard]] Result<FileFacts> inspect_file(std::istream& in, const std::string& name);

/// Bounds on one record: a longer or wider one is reported, not kept.
struct CsvLimits {
  std::size_t max_record_bytes = 1 << 20;
  std::size_t max_fields = 1024;
};

/// One record: its fields, or `problem` saying why it has none.
struct CsvRecord {
  std::vector<std::string> fields;
  std::uint64_t line = 0;  // the line it starts on, from 1
  std::string problem;     // empty when it was read whole
};

/// Reads records from a stream. The separator is a tab when the first line holds one, else a
/// comma. A leading byte-order mark is skipped; blank lines are no records.
class CsvReader {
 public:
  CsvReader(std::istream& in, Encoding encoding, CsvLimits limits = {});

  /// Reads the next record into `record`; returns false at the end of the input.
  [[nodiscard]] bool next(CsvRecord& record);
  /// Returns the separator: '\t' or ','.
  [[nodiscard]] char separator() const { return separator_; }
  /// Returns how many bytes of the input have been taken, for progress.
  [[nodiscard]] std::uint64_t bytes_read() const { return bytes_read_; }

 private:
  bool fill();
  std::istream& in_;
  Encoding encoding_;
  CsvLimits limits_;
  std::string buffer_;  // decoded UTF-8 not yet parsed
  std::size_t position_ = 0;
  bool started_ = false;
  bool ended_ = false;
  char separator_ = ',';
  std::uint64_t line_ = 1;
  std::uint64_t bytes_read_ = 0;
};

}  // namespace qmr::store
