// The slow, value-building forms that the tests hold the program's text-writing fast paths to:
// records as generic JSON values, and a request's fields read from its parsed value.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "base/json_writer.hpp"
#include "engine/records.hpp"
#include "mcp/request_reader.hpp"

namespace qmr::engine {

/// Returns the record as a generic JSON object, one member per field.
[[nodiscard]] json::Value to_json_value(const TrackedProduct& product);
[[nodiscard]] json::Value to_json_value(const ReviewIntel& review);
[[nodiscard]] json::Value to_json_value(const MedicineArbitrage& medicine);

/// Returns the products as a compact JSON array of write_compact_object's objects ("[]" when
/// empty), as the dashboard lists them.
[[nodiscard]] std::string encode_products_compact(const std::vector<TrackedProduct>& products);

/// Returns a JSON array of the records' generic values, in list order.
template <typename Record>
[[nodiscard]] json::Value to_json_array(const std::vector<Record>& records) {
  json::Value array = json::Value::array();
  for (const auto& record : records) array.push_back(to_json_value(record));
  return array;
}

}  // namespace qmr::engine

namespace qmr::mcp {

/// Every field the reader keeps, decoded and owned, so that the reader's views and the parsed
/// value's members can be compared.
struct ReferenceFields {
  std::string id = "null";  // canonical JSON text
  bool is_object = false;
  bool has_id = false;
  bool id_is_string_or_integer = false;
  std::optional<std::string> method;
  bool has_result_or_error = false;
  std::string tool_name;
  std::string query;
  bool query_not_a_string = false;
  std::string handshake_version;
  std::optional<std::string> meta_version_value;  // canonical JSON text
  std::optional<std::string> meta_version;
  std::optional<std::string> resource_uri;
  ExtensionSet declared;
  ExtensionSet meta_declared;

  friend bool operator==(const ReferenceFields&, const ReferenceFields&) = default;
};

/// Returns the fields of a parsed request, read from the value as the JSON library built it.
[[nodiscard]] ReferenceFields reference_fields(const json::Value& request);

/// Returns the fields the reader kept, decoded, with the values in the form the server writes.
[[nodiscard]] ReferenceFields reference_fields(const Request& request);

}  // namespace qmr::mcp
