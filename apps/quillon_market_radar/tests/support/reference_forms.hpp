// The slow, value-building forms that the tests hold the program's text-writing fast paths to:
// records as generic JSON values, a method's result as a value, and one line's whole answer.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/json_writer.hpp"
#include "engine/market_engine.hpp"
#include "engine/records.hpp"

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

/// Returns the result of `method` for `request` (the four methods of is_known_method), or
/// nothing when there is no such method (names
/// match exactly, case included) or the request has no string method (`method` absent). The id
/// is the envelope's business and is not read here.
[[nodiscard]] std::optional<json::Value> dispatch_method(std::optional<std::string_view> method,
                                                         const json::Value& id,
                                                         const json::Value& request,
                                                         const engine::EngineHandle& engine);

/// Returns the compact response line (without its line feed) for one input line, or nothing when
/// the line is blank, is not exactly one valid JSON value, or is a notification.
[[nodiscard]] std::optional<std::string> handle_line(std::string_view line,
                                                     const engine::EngineHandle& engine);

}  // namespace qmr::mcp
