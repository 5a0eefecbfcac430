// The few fields of a request line that the tool server acts on. A scanner reads them straight
// from the plain lines assistants send, building nothing; every other line goes to the request
// reader (request_reader.hpp). request_fields reads them from a fully parsed value, the reference
// that both must match.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "base/json_writer.hpp"

namespace qmr::mcp {

/// The fields of one request. The views point into the line or into the parsed value.
struct RequestFields {
  /// The "id" member as compact JSON text; "null" when it is absent or the request is no object.
  std::string_view id = "null";
  /// Whether the request is an object with an "id" member (which may be null).
  bool has_id = false;
  /// The "method" member when it is a string.
  std::optional<std::string_view> method;
  /// "params"."name" when params is an object and the name a string; "" otherwise.
  std::string_view tool_name;
  /// "params"."arguments"."query" when arguments is an object and the query a string; "" otherwise.
  std::string_view query;

  friend bool operator==(const RequestFields&, const RequestFields&) = default;
};

/// Returns the fields of `line` when it is one JSON object that the scanner reads on its own: no
/// string with an escape or a control character, no number with an exponent, an id that is a
/// plain integer of at most 18 digits, a string, true, false or null, no repeated member among
/// those read, and little nesting. Returns nothing for any other line, valid or not: nothing
/// means only that the line needs the full parser.
[[nodiscard]] std::optional<RequestFields> scan_request_fields(std::string_view line);

/// Returns the fields of a parsed request. The id is written compactly into `id_text`, which the
/// returned id views; the other views point into `request`.
[[nodiscard]] RequestFields request_fields(const json::Value& request, std::string& id_text);

}  // namespace qmr::mcp
