// Reading the request fields of a line that the scanner leaves, without building the line's value:
// the whole line is checked to be exactly one valid JSON value, by the same rules as
// parse_json_line, but only the id, the method, the tool name and the query are kept. A line
// that carries megabytes of members nobody reads then costs no more memory than its own bytes.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "mcp/request_fields.hpp"

namespace qmr::mcp {

/// Takes the part of a long answer written so far out of `part`, leaving it empty, while the rest
/// is still being written; the tool server writes each part to standard output.
using Spill = std::function<void(std::string& part)>;

/// Bytes of an answer gathered before a spill is given them.
inline constexpr std::size_t SPILL_SIZE = 64 * 1024;

/// The fields of one request, owning their text (escapes decoded), but for an id that is no
/// string: that one is kept as its text in the line, which must outlive this.
struct ReadRequest {
  std::string id = "null";   // the compact form of an absent, null or string id
  std::string_view id_text;  // any other id as it stands in the line
  bool has_id = false;
  std::optional<std::string> method;
  std::string tool_name;
  std::string query;

  /// Appends the id in its compact form, the text the JSON writer gives the parsed id, to `out`;
  /// a long one is handed to `spill`, when given, in parts as it is written.
  void write_id(std::string& out, const Spill& spill) const;

  /// Returns the fields as views into this object, the id as it stands in the line when it is no
  /// string (write_id gives its compact form).
  [[nodiscard]] RequestFields fields() const;

  /// Returns the fields with the id in its compact form, written into `id_text_written`.
  [[nodiscard]] RequestFields fields(std::string& id_text_written) const;
};

/// Returns the fields of `line` when it is exactly one valid JSON value (the very lines
/// parse_json_line accepts), the same fields as request_fields gives for the parsed value; returns
/// nothing for any other line. Values of members that are not read are checked and dropped.
[[nodiscard]] std::optional<ReadRequest> read_request(std::string_view line);

}  // namespace qmr::mcp
