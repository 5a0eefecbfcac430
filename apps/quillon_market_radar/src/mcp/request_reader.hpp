// Reading the request fields of a line that the scanner leaves, without building the line's value:
// the whole line is checked to be exactly one valid JSON value, by the same rules as
// parse_json_line, but only the id, the method, the tool name and the query are kept. A line
// that carries megabytes of members nobody reads then costs no more memory than its own bytes.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "mcp/request_fields.hpp"

namespace qmr::mcp {

/// The fields of one request, owning their text (escapes decoded, the id in compact form).
struct ReadRequest {
  std::string id = "null";
  bool has_id = false;
  std::optional<std::string> method;
  std::string tool_name;
  std::string query;

  /// Returns the fields as views into this object.
  [[nodiscard]] RequestFields fields() const;
};

/// Returns the fields of `line` when it is exactly one valid JSON value (the very lines
/// parse_json_line accepts), the same fields as request_fields gives for the parsed value; returns
/// nothing for any other line. Values of members that are not read are checked and dropped.
[[nodiscard]] std::optional<ReadRequest> read_request(std::string_view line);

}  // namespace qmr::mcp
