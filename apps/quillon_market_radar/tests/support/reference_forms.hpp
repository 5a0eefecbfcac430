// The slow, value-building forms that the tests hold the program's text-writing fast paths to:
// records as generic JSON values, a request's fields read from its parsed value, and one line's
// whole answer.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/json_writer.hpp"
#include "engine/market_engine.hpp"
#include "engine/records.hpp"
#include "mcp/request_reader.hpp"

namespace qmr::engine {

/// Returns the record as a generic JSON object, one member per field.
[[nodiscard]] json::Value to_json_value(const TrackedProduct& product);
[[nodiscard]] json::Value to_json_value(const ReviewIntel& review);
[[nodiscard]] json::Value to_json_value(const MedicineArbitrage& medicine);

/// Returns a JSON array of the records' generic values, in list order.
template <typename Record>
[[nodiscard]] json::Value to_json_array(const std::vector<Record>& records) {
  json::Value array = json::Value::array();
  for (const auto& record : records) array.push_back(to_json_value(record));
  return array;
}

}  // namespace qmr::engine

namespace qmr::mcp {

/// The fields the tool server acts on, decoded and owned, so that the reader's views and the
/// parsed value's members can be compared.
struct ReferenceFields {
  std::string id = "null";  // compact JSON text
  bool has_id = false;
  std::optional<std::string> method;
  std::string tool_name;
  std::string query;

  friend bool operator==(const ReferenceFields&, const ReferenceFields&) = default;
};

/// Returns the fields of a parsed request, read from the value as the JSON library built it.
[[nodiscard]] ReferenceFields reference_fields(const json::Value& request);

/// Returns the fields the reader kept, decoded, with the id in the form the server writes.
[[nodiscard]] ReferenceFields reference_fields(const Request& request);

/// Returns the compact response line (without its line feed) for one input line, or nothing when
/// the line is blank, is not exactly one valid JSON value, or is a notification.
[[nodiscard]] std::optional<std::string> handle_line(std::string_view line,
                                                     const engine::EngineHandle& engine);

}  // namespace qmr::mcp
